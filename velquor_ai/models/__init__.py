"""Data models of service answers.

Import the models from their modules (`velquor_ai.models.common`,
`velquor_ai.models.execution`, `velquor_ai.models.blueprint`); this package itself
imports nothing, so importing it never loads them.
"""
