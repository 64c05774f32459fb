"""Several threads calling both modules at once, each on its own targets."""

import hashlib
import threading
from concurrent.futures import ThreadPoolExecutor

from zelkor.mcp.coffer import get_credential_dir_for_key
from zelkor.skills.services.edictor import RULE_MARKER, Edictor

THREADS = 8
ROUNDS = 200


def worker(root, number):
    injector = Edictor(root / "templates")
    rule = injector._load_rule_content()
    for round_ in range(ROUNDS):
        key = f"key-{number}-{round_}"
        path = get_credential_dir_for_key(key, root / "keys")
        assert path.name == hashlib.sha256(key.encode()).hexdigest()[:16]
        skills = root / f"editor-{number}-{round_ % 10}" / "skills"
        config = injector.inject("claude", skills)
        assert config == skills.parent / "CLAUDE.md"
        assert injector._load_rule_content() == rule
    return number


def test_threads_on_distinct_targets(tmp_path):
    start = threading.Barrier(THREADS)

    def run(number):
        start.wait()
        return worker(tmp_path, number)

    with ThreadPoolExecutor(THREADS) as pool:
        assert sorted(pool.map(run, range(THREADS))) == list(range(THREADS))
    configs = sorted(tmp_path.glob("editor-*/CLAUDE.md"))
    assert len(configs) == THREADS * 10
    for config in configs:
        assert config.read_text(encoding="utf-8").count(RULE_MARKER) == 1
    assert len(list((tmp_path / "keys").iterdir())) == THREADS * ROUNDS
