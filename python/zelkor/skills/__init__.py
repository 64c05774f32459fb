"""Skills: packaged instructions and templates for AI coding-agent editors."""
