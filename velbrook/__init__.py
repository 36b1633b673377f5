"""Fast, time-zone-free date conversions and centroid histograms."""

__version__ = "0.1.0"
