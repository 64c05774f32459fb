"""A short demonstration of the native modules on a temporary folder."""

import stat
import sys
import tempfile
from pathlib import Path

# The host tool's zelkor.skills.packaging is not installed with the modules;
# the demonstration uses the stand-in.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "host-stand-in"))

from zelkor.mcp import coffer  # noqa: E402
from zelkor.skills.services.edictor import Edictor  # noqa: E402


def show_tree(root: Path) -> None:
    for path in sorted(root.rglob("*")):
        mode = stat.filemode(path.stat().st_mode)
        print(f"    {mode}  {path.relative_to(root)}")


def demonstrate_coffer(root: Path) -> None:
    root.mkdir()
    print("== zelkor.mcp.coffer: a private credential directory per API key")
    base_root = root / "credentials_by_key"
    for key in ("sk-alice-0001", "sk-bob-0002", "sk-alice-0001"):
        path = coffer.get_credential_dir_for_key(key, base_root)
        print(f"  {key!r} -> {path.relative_to(root)}")
    print("  what is on disk:")
    show_tree(root)


def demonstrate_edictor(root: Path) -> None:
    print("== zelkor.skills.services.edictor: the feedback rule, appended once")
    skills = root / "home" / ".claude" / "skills"
    config = skills.parent / "CLAUDE.md"
    config.parent.mkdir(parents=True)
    config.write_text("# My own notes\n\nAlways run the tests.\n", encoding="utf-8")
    injector = Edictor()
    path = injector.inject("claude", skills)
    print(f"  inject('claude', {skills.relative_to(root)}) -> {path.relative_to(root)}")
    print(f"  {path.name} now reads:")
    for line in path.read_text(encoding="utf-8").splitlines():
        print(f"    | {line}")
    size = path.stat().st_size
    again = injector.inject("claude", skills)
    unchanged = "unchanged" if path.stat().st_size == size else "CHANGED"
    print(f"  inject again -> {again.relative_to(root)}, {size} bytes, {unchanged}")
    print(f"  inject('unknown-editor', ...) -> {injector.inject('unknown-editor', skills)}")
    for runtime in ("codex", "opencode"):
        runtime_skills = root / "home" / f".{runtime}" / "skills"
        agents = injector.inject(runtime, runtime_skills)
        print(f"  inject({runtime!r}, {runtime_skills.relative_to(root)}) -> {agents.relative_to(root)}")


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="zelkor-demo-") as folder:
        demonstrate_coffer(Path(folder) / "coffer")
        print()
        demonstrate_edictor(Path(folder) / "edictor")


if __name__ == "__main__":
    main()
