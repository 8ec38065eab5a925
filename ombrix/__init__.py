"""Ombrix package."""
