"""A tiny text-statistics package for trying out `kestrow run`."""
