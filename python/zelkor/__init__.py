"""The zelkor command-line tool."""
