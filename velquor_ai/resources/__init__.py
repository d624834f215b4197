"""Service resources (generations, uploads).

The resource modules are imported by their full names, for example
`from velquor_ai.resources.generations import GenerationsResource`; this package
itself imports nothing, so importing it never loads them.
"""
