"""A short demonstration of the native modules on a temporary folder."""

import stat
import tempfile
from pathlib import Path

from zelkor.mcp import coffer


def show_tree(root: Path) -> None:
    for path in sorted(root.rglob("*")):
        mode = stat.filemode(path.stat().st_mode)
        print(f"    {mode}  {path.relative_to(root)}")


def demonstrate_coffer(root: Path) -> None:
    print("== zelkor.mcp.coffer: a private credential directory per API key")
    base_root = root / "credentials_by_key"
    for key in ("sk-alice-0001", "sk-bob-0002", "sk-alice-0001"):
        path = coffer.get_credential_dir_for_key(key, base_root)
        print(f"  {key!r} -> {path.relative_to(root)}")
    print("  what is on disk:")
    show_tree(root)


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="zelkor-demo-") as folder:
        demonstrate_coffer(Path(folder))


if __name__ == "__main__":
    main()
