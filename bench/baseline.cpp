// The PC side of the baseline pair: see baseline.h.
#include "bench/baseline.h"

#include <algorithm>
#include <atomic>
#include <latch>
#include <memory>
#include <thread>

#include "bench/harness.h"
#include "bench/os.h"

namespace bench {

void Add_Packet(std::vector<Exchange>* script, bool pc_sends, std::size_t packet_bytes) {
  while (packet_bytes > 0) {
    const std::size_t piece = std::min(packet_bytes, kMaxFramePayload);
    script->push_back({pc_sends, static_cast<std::uint16_t>(piece)});
    packet_bytes -= piece;
  }
}

void Add_File(std::vector<Exchange>* script, bool pc_to_ht, std::uint64_t bytes, std::size_t block,
              std::size_t name_chars) {
  // The sender announces the file and waits for the answer.
  Add_Packet(script, pc_to_ht, File_Info_Packet_Bytes(name_chars));
  Add_Packet(script, !pc_to_ht, kResponsePacketBytes);
  // Then the blocks, an empty file being one empty block.
  do {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, block));
    Add_Packet(script, pc_to_ht, Data_Packet_Bytes(n));
    bytes -= n;
  } while (bytes > 0);
  // The receiver answers the last block.
  Add_Packet(script, !pc_to_ht, kResponsePacketBytes);
}

namespace {

void Put16(std::uint8_t* p, std::size_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

// Plays the PC's part of the script on one connection.
bool Serve(int fd, const std::vector<Exchange>& script, std::string* why) {
  std::vector<std::uint8_t> out(kFrameHeader + kMaxFramePayload, 0x5A);
  std::vector<std::uint8_t> in(kFrameHeader + kMaxFramePayload);
  for (const Exchange& e : script) {
    std::fill(out.begin(), out.begin() + kFrameHeader, 0);
    Put16(&out[2], e.length);
    if (e.pc_sends) {
      out[0] = 0x10;
      if (!Write_All(fd, out.data(), kFrameHeader + e.length) || !Read_All(fd, in.data(), kFrameHeader)) {
        *why = "the peer did not acknowledge a frame";
        return false;
      }
    } else {
      out[0] = 0x20;
      if (!Write_All(fd, out.data(), kFrameHeader) || !Read_All(fd, in.data(), kFrameHeader)) {
        *why = "the peer did not answer a poll";
        return false;
      }
      const std::size_t n = in[2] | (in[3] << 8);
      if (in[0] != 0x00 || n != e.length || !Read_All(fd, in.data() + kFrameHeader, n)) {
        *why = "the peer answered a poll with a wrong frame";
        return false;
      }
    }
  }
  std::fill(out.begin(), out.begin() + kFrameHeader, 0);
  out[0] = 0x0C;
  Write_All(fd, out.data(), kFrameHeader);
  return true;
}

}  // namespace

BaselineResult Run_Baseline(const std::string& peer_program, const std::vector<Exchange>& script,
                            int pairs, int timeout_ms, std::size_t segment) {
  BaselineResult result;
  std::uint16_t port = 0;
  const int listening = Listen_Tcp(pairs > 1, &port);
  if (listening < 0) {
    result.why = "cannot listen on loopback";
    return result;
  }
  std::vector<std::unique_ptr<Child>> peers;
  std::vector<int> fds;
  auto cleanup = [&] {
    for (int fd : fds) Close_Fd(fd);
    Close_Fd(listening);
    for (auto& p : peers) p->Stop(2000);
  };
  for (int i = 0; i < pairs; ++i) {
    SpawnOptions o;
    o.argv = {peer_program, "--port", std::to_string(port), "--timeout-ms", std::to_string(timeout_ms)};
    if (segment > 0) {
      o.argv.push_back("--segment");
      o.argv.push_back(std::to_string(segment));
    }
    if (pairs > 1) {
      o.argv.push_back("--source");
      o.argv.push_back(Loopback_Source(i));
    }
    o.log_path = "/dev/null";
    auto c = std::make_unique<Child>();
    if (!c->Start(o, &result.why)) {
      cleanup();
      return result;
    }
    peers.push_back(std::move(c));
  }
  const int io_ms = std::min(timeout_ms, 30000);
  for (int i = 0; i < pairs; ++i) {
    const int fd = Accept_Tcp(listening, std::min(timeout_ms, 10000), io_ms);
    if (fd < 0) {
      result.why = "a baseline peer did not connect";
      cleanup();
      return result;
    }
    fds.push_back(fd);
  }

  std::latch ready(pairs + 1);
  std::atomic<int> failures{0};
  std::vector<std::string> whys(static_cast<std::size_t>(pairs));
  std::vector<Clock::time_point> ends(static_cast<std::size_t>(pairs));
  std::vector<std::thread> threads;
  for (int i = 0; i < pairs; ++i) {
    threads.emplace_back([&, i] {
      ready.arrive_and_wait();
      if (!Serve(fds[static_cast<std::size_t>(i)], script, &whys[static_cast<std::size_t>(i)]))
        failures.fetch_add(1);
      ends[static_cast<std::size_t>(i)] = Clock::now();
    });
  }
  ready.arrive_and_wait();
  const Clock::time_point start = Clock::now();
  for (std::thread& t : threads) t.join();
  const Clock::time_point end = *std::max_element(ends.begin(), ends.end());
  if (failures.load() != 0) {
    for (const std::string& w : whys)
      if (!w.empty()) result.why = w;
    cleanup();
    return result;
  }
  for (auto& p : peers) p->Wait_Exit(5000);
  cleanup();
  result.ok = true;
  result.seconds = std::chrono::duration<double>(end - start).count();
  return result;
}

}  // namespace bench
