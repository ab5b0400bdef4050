"""The parts of bench/peers.py: inputs, contenders, timing, agreement, plain-loop rules, report."""
