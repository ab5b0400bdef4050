"""Many series per call: each series computed exactly as brindlex computes it alone."""
