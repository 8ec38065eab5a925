"""Ombrix workers: the custom worker extension module lives here."""
