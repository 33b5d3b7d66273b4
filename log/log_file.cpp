// PLACEHOLDER until the log lands.
