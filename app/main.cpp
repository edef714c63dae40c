// tarnel: the operator's program. For now it only tells its version and usage.
#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
  CLI::App app{"tarnel - file exchange with handheld terminals"};
  bool version = false;
  app.add_flag("--version", version, "Print the version and exit");
  CLI11_PARSE(app, argc, argv);
  if (version) {
    std::cout << "tarnel " << TARNEL_VERSION << "\n";
    return 0;
  }
  std::cout << "tarnel " << TARNEL_VERSION << "\n" << app.help();
  return 0;
}
