"""MCP tools of zelkor and their credential handling."""
