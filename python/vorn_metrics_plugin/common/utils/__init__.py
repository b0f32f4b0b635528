"""Small utilities: logging, URL mapping, object access."""
