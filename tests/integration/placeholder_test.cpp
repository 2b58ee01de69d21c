// (replaced by the container round-trip tests)
