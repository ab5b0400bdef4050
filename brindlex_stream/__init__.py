"""Live bars: indicators one bar at a time, exactly as brindlex computes the whole series."""
