"""Helpers used by the client and the resources.

Import them from their modules (for example `velquor_ai.util.helpers`); this
package itself imports nothing, so importing it never loads them.
"""
