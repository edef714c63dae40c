// Placeholder until the configuration readers land.
