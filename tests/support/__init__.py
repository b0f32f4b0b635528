"""Helpers shared by the test suites (local servers, fakes)."""
