"""corvane: the add-on manager for Blender add-ons.

The native module ``corvane.vesk`` runs inside Blender; ``corvane.publish`` and
``corvane.serve`` are the maker's tools for building and serving add-on packages.
"""
