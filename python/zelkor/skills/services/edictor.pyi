"""编辑器配置文件铁律注入器。

在 zelkor skills install 时，自动向对应编辑器的配置文件（CLAUDE.md / AGENTS.md）
追加【铁律】工具调用失败自动反馈。支持幂等检测和跨平台路径。
"""

from pathlib import Path as Path
from typing import Final

# Imported from the host tool's zelkor.skills.packaging when the module loads.
def get_builtin_templates_dir() -> Path: ...

RUNTIME_CONFIG_FILES: Final[dict[str, str]]
RULE_MARKER: Final[str]
_RULE_SOURCE_RELATIVE: Final[Path]

class Edictor:
    """向编辑器配置文件注入 zel-feedback 铁律。

    使用说明：
        injector = Edictor(templates_dir=Path(".../zelkor/skills/templates"))
        config_path = injector.inject("claude", Path.home() / ".claude" / "skills")
    """

    templates_dir: Path
    def __init__(self, templates_dir: Path | None = None) -> None:
        """初始化注入器。

        Args:
            templates_dir: Skill 模板根目录；为 None 时按模块相对路径推导
        """
    def inject(self, target_runtime: str, target_skills_dir: Path) -> Path | None:
        """向编辑器配置文件追加反馈铁律。

        逻辑：
        1. 根据 runtime 确定配置文件名（CLAUDE.md 或 AGENTS.md）
        2. 配置文件位于 skills 目录的父目录（与 skills 同级）
        3. 若文件中已包含 RULE_MARKER，则幂等跳过
        4. 否则追加铁律内容

        Args:
            target_runtime: 编辑器运行时标识，如 "claude" / "codex" / "opencode"
            target_skills_dir: Skill 安装目录，如 ~/.claude/skills

        Returns:
            配置文件绝对路径（已注入或已存在），None 表示跳过（未知 runtime 或自定义目录）
        """
    def _load_rule_content(self) -> str | None:
        """从 zel-feedback Skill 模板加载铁律 Markdown 内容。

        优先读取 FEEDBACK_RULE.md，文件不存在时回退到内置硬编码内容。
        """

_DEFAULT_RULE_CONTENT: Final[str]
__test__: dict[str, object]
