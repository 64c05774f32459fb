"""Services behind the Skill installer."""
