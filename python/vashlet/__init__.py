"""Sequential pattern matching over timestamped events, with near-miss explanations."""
