"""Package services shared by the metric modules."""
