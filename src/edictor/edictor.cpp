// zelkor.skills.services.edictor: writes the feedback rule into an editor's
// agent configuration file (CLAUDE.md or AGENTS.md), once.
//
//     from pathlib import Path
//     from zelkor.skills.packaging import get_builtin_templates_dir
//
//     RUNTIME_CONFIG_FILES = {"claude": "CLAUDE.md", "openclaw": "AGENTS.md",
//                             "codex": "AGENTS.md", "opencode": "AGENTS.md"}
//     RULE_MARKER = "<!-- ZELKOR_RULE:feedback_auto_submit -->"
//     _RULE_SOURCE_RELATIVE = Path("zel-feedback") / "data" / "FEEDBACK_RULE.md"
//
//     class Edictor: ...            (the methods below)
//
//     _DEFAULT_RULE_CONTENT = ...   (rule_text.hpp)
#include "edictor/append.hpp"
#include "edictor/rule_text.hpp"
#include "runtime/calls.hpp"
#include "runtime/module.hpp"

namespace {

using zelkor::call_method;
using zelkor::Function;
using zelkor::global;
using zelkor::Name;
using zelkor::Ref;

constexpr const char* kModuleDoc =
    "编辑器配置文件铁律注入器。\n"
    "\n"
    "在 zelkor skills install 时，自动向对应编辑器的配置文件（CLAUDE.md / AGENTS.md）\n"
    "追加【铁律】工具调用失败自动反馈。支持幂等检测和跨平台路径。\n";

constexpr const char* kEdictorDoc =
    "向编辑器配置文件注入 zel-feedback 铁律。\n"
    "\n"
    "    使用说明：\n"
    "        injector = Edictor(templates_dir=Path(\".../zelkor/skills/templates\"))\n"
    "        config_path = injector.inject(\"claude\", Path.home() / \".claude\" / \"skills\")\n"
    "    ";

Name runtime_config_files_name{"RUNTIME_CONFIG_FILES"};
Name rule_marker_name{"RULE_MARKER"};
Name rule_source_relative_name{"_RULE_SOURCE_RELATIVE"};
Name default_rule_content_name{"_DEFAULT_RULE_CONTENT"};
Name get_builtin_templates_dir_name{"get_builtin_templates_dir"};
Name templates_dir_name{"templates_dir"};
Name load_rule_content_name{"_load_rule_content"};
Name exists_name{"exists"};
Name read_text_name{"read_text"};
Name strip_name{"strip"};
Name get_name{"get"};
Name parent_name{"parent"};
Name mkdir_name{"mkdir"};
Name utf8_name{"utf-8"};
Name empty_text{""};
zelkor::KeywordNames encoding_keyword{"encoding"};
zelkor::KeywordNames mkdir_keywords{"parents", "exist_ok"};

// path.exists(), as a truth value: 1, 0, or -1 with an exception set.
int path_exists(PyObject* path) {
    Ref exists = call_method(path, exists_name);
    return exists ? PyObject_IsTrue(exists.get()) : -1;
}

// path.read_text(encoding="utf-8")
Ref read_utf8_text(PyObject* path) {
    PyObject* encoding = utf8_name.get();
    return encoding ? zelkor::call_method_kw(path, read_text_name, encoding_keyword, encoding)
                    : Ref();
}

// format(value, ""): a str stays as it is.
Ref formatted(PyObject* value) {
    PyObject* format_spec = empty_text.get();
    return format_spec ? Ref::steal(PyObject_Format(value, format_spec)) : Ref();
}

// def __init__(self, templates_dir: Path | None = None) -> None:
//     if templates_dir is None:
//         templates_dir = get_builtin_templates_dir()
//     self.templates_dir = templates_dir
PyObject* init(Function& function, PyObject* const* args) {
    PyObject* self = args[0];
    Ref templates_dir = Ref::borrow(args[1]);
    if (templates_dir.get() == Py_None) {
        Ref get_builtin_templates_dir = global(function, get_builtin_templates_dir_name);
        if (!get_builtin_templates_dir) {
            return nullptr;
        }
        templates_dir = zelkor::call(get_builtin_templates_dir.get());
        if (!templates_dir) {
            return nullptr;
        }
    }
    if (!zelkor::set_attr(self, templates_dir_name, templates_dir.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// def _load_rule_content(self) -> str | None:
//     rule_file = self.templates_dir / _RULE_SOURCE_RELATIVE
//     if rule_file.exists():
//         return rule_file.read_text(encoding="utf-8").strip()
//     return _DEFAULT_RULE_CONTENT.strip()
PyObject* load_rule_content(Function& function, PyObject* const* args) {
    Ref templates_dir = zelkor::get_attr(args[0], templates_dir_name);
    if (!templates_dir) {
        return nullptr;
    }
    Ref relative = global(function, rule_source_relative_name);
    if (!relative) {
        return nullptr;
    }
    Ref rule_file = Ref::steal(PyNumber_TrueDivide(templates_dir.get(), relative.get()));
    const int exists = rule_file ? path_exists(rule_file.get()) : -1;
    if (exists < 0) {
        return nullptr;
    }
    Ref text = exists ? read_utf8_text(rule_file.get()) : global(function, default_rule_content_name);
    if (!text) {
        return nullptr;
    }
    return call_method(text.get(), strip_name).release();
}

// The block appended to a configuration file:
// f"\n\n{RULE_MARKER}\n\n{rule_content}\n", encoded as UTF-8.
Ref rule_block(Function& function, PyObject* rule_content) {
    Ref marker_value = global(function, rule_marker_name);
    if (!marker_value) {
        return {};
    }
    Ref marker = formatted(marker_value.get());
    if (!marker) {
        return {};
    }
    Ref rule = formatted(rule_content);
    if (!rule) {
        return {};
    }
    Ref block = Ref::steal(PyUnicode_FromFormat("\n\n%U\n\n%U\n", marker.get(), rule.get()));
    return block ? Ref::steal(PyUnicode_AsUTF8String(block.get())) : Ref();
}

// Does the configuration file exist and hold the marker already?
// 1, 0, or -1 with an exception set.
int holds_marker(Function& function, PyObject* config_path) {
    const int exists = path_exists(config_path);
    if (exists <= 0) {
        return exists;
    }
    Ref existing_content = read_utf8_text(config_path);
    if (!existing_content) {
        return -1;
    }
    Ref marker = global(function, rule_marker_name);
    return marker ? PySequence_Contains(existing_content.get(), marker.get()) : -1;
}

// def inject(self, target_runtime: str, target_skills_dir: Path) -> Path | None:
//     config_filename = RUNTIME_CONFIG_FILES.get(target_runtime)
//     if not config_filename:
//         return None
//     config_path = target_skills_dir.parent / config_filename
//     if config_path.exists():
//         if RULE_MARKER in config_path.read_text(encoding="utf-8"):
//             return config_path
//     rule_content = self._load_rule_content()
//     if not rule_content:
//         return None
//     config_path.parent.mkdir(parents=True, exist_ok=True)
//     append_or_restore(config_path, f"\n\n{RULE_MARKER}\n\n{rule_content}\n")
//     return config_path
//
// The block is appended, never written together with the old text, so a
// failed write cannot cost the file its existing content.
PyObject* inject(Function& function, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* target_runtime = args[1];
    PyObject* target_skills_dir = args[2];

    Ref config_files = global(function, runtime_config_files_name);
    if (!config_files) {
        return nullptr;
    }
    Ref config_filename = call_method(config_files.get(), get_name, target_runtime);
    const int known = config_filename ? PyObject_IsTrue(config_filename.get()) : -1;
    if (known <= 0) {
        return known < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref skills_parent = zelkor::get_attr(target_skills_dir, parent_name);
    if (!skills_parent) {
        return nullptr;
    }
    Ref config_path = Ref::steal(PyNumber_TrueDivide(skills_parent.get(), config_filename.get()));
    const int injected = config_path ? holds_marker(function, config_path.get()) : -1;
    if (injected != 0) {
        return injected < 0 ? nullptr : config_path.release();
    }

    Ref rule_content = call_method(self, load_rule_content_name);
    const int has_rule = rule_content ? PyObject_IsTrue(rule_content.get()) : -1;
    if (has_rule <= 0) {
        return has_rule < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref block = rule_block(function, rule_content.get());
    if (!block) {
        return nullptr;
    }
    Ref config_dir = zelkor::get_attr(config_path.get(), parent_name);
    Ref made = config_dir ? zelkor::call_method_kw(config_dir.get(), mkdir_name, mkdir_keywords,
                                                   Py_True, Py_True)
                          : Ref();
    if (!made || !edictor::append_or_restore(config_path.get(), block.get())) {
        return nullptr;
    }
    return config_path.release();
}

constexpr zelkor::Parameter kInitParameters[] = {
    {.name = "self"},
    {.name = "templates_dir", .annotation = "Path | None", .default_value = zelkor::Default::none},
};

const zelkor::FunctionDecl kInit = {
    .name = "__init__",
    .qualname = "Edictor.__init__",
    .line = 36,
    .parameters = kInitParameters,
    .returns = "None",
    .doc = "初始化注入器。\n"
           "\n"
           "        Args:\n"
           "            templates_dir: Skill 模板根目录；为 None 时按模块相对路径推导\n"
           "        ",
    .body = init,
};

constexpr zelkor::Parameter kInjectParameters[] = {
    {.name = "self"},
    {.name = "target_runtime", .annotation = "str", .check = zelkor::ArgumentCheck::exact_str},
    {.name = "target_skills_dir", .annotation = "Path"},
};

const zelkor::FunctionDecl kInject = {
    .name = "inject",
    .qualname = "Edictor.inject",
    .line = 47,
    .parameters = kInjectParameters,
    .returns = "Path | None",
    .doc = "向编辑器配置文件追加反馈铁律。\n"
           "\n"
           "        逻辑：\n"
           "        1. 根据 runtime 确定配置文件名（CLAUDE.md 或 AGENTS.md）\n"
           "        2. 配置文件位于 skills 目录的父目录（与 skills 同级）\n"
           "        3. 若文件中已包含 RULE_MARKER，则幂等跳过\n"
           "        4. 否则追加铁律内容\n"
           "\n"
           "        Args:\n"
           "            target_runtime: 编辑器运行时标识，如 \"claude\" / \"codex\" / \"opencode\"\n"
           "            target_skills_dir: Skill 安装目录，如 ~/.claude/skills\n"
           "\n"
           "        Returns:\n"
           "            配置文件绝对路径（已注入或已存在），None 表示跳过（未知 runtime 或自定义目录）\n"
           "        ",
    .body = inject,
};

constexpr zelkor::Parameter kLoadRuleContentParameters[] = {
    {.name = "self"},
};

const zelkor::FunctionDecl kLoadRuleContent = {
    .name = "_load_rule_content",
    .qualname = "Edictor._load_rule_content",
    .line = 88,
    .parameters = kLoadRuleContentParameters,
    .returns = "str | None",
    .result_check = zelkor::ResultCheck::str_or_none,
    .doc = "从 zel-feedback Skill 模板加载铁律 Markdown 内容。\n"
           "\n"
           "        优先读取 FEEDBACK_RULE.md，文件不存在时回退到内置硬编码内容。\n"
           "        ",
    .body = load_rule_content,
};

Ref make_runtime_config_files() {
    Ref files = Ref::steal(PyDict_New());
    if (!files) {
        return {};
    }
    for (auto [runtime, filename] : {std::pair{"claude", "CLAUDE.md"},
                                     std::pair{"openclaw", "AGENTS.md"},
                                     std::pair{"codex", "AGENTS.md"},
                                     std::pair{"opencode", "AGENTS.md"}}) {
        Ref value = Ref::steal(PyUnicode_FromString(filename));
        if (!value || PyDict_SetItemString(files.get(), runtime, value.get()) < 0) {
            return {};
        }
    }
    return files;
}

// Path("zel-feedback") / "data" / "FEEDBACK_RULE.md", with the module's Path.
Ref make_rule_source_relative(zelkor::ModuleBuilder& module) {
    Ref path_type = module.get("Path");
    Ref root_name = path_type ? Ref::steal(PyUnicode_FromString("zel-feedback")) : Ref();
    Ref path = root_name ? zelkor::call(path_type.get(), root_name.get()) : Ref();
    for (const char* part : {"data", "FEEDBACK_RULE.md"}) {
        Ref name = path ? Ref::steal(PyUnicode_FromString(part)) : Ref();
        path = name ? Ref::steal(PyNumber_TrueDivide(path.get(), name.get())) : Ref();
    }
    return path;
}

Ref make_default_rule_content() {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (const char* line : edictor::kDefaultRuleLines) {
        Ref next = text ? Ref::steal(PyUnicode_FromFormat("%U%s\n", text.get(), line)) : Ref();
        text = std::move(next);
    }
    return text;
}

bool define_names(zelkor::ModuleBuilder& module) {
    return module.import_from("pathlib", "Path") &&
           module.import_from("zelkor.skills.packaging", "get_builtin_templates_dir") &&
           module.set("RUNTIME_CONFIG_FILES", make_runtime_config_files()) &&
           module.set("RULE_MARKER", Ref::steal(PyUnicode_FromString(edictor::kRuleMarker))) &&
           module.set("_RULE_SOURCE_RELATIVE", make_rule_source_relative(module)) &&
           module.add_class("Edictor", kEdictorDoc, {&kInit, &kInject, &kLoadRuleContent}) &&
           module.set("_DEFAULT_RULE_CONTENT", make_default_rule_content()) &&
           module.set("__test__", Ref::steal(PyDict_New()));
}

zelkor::ModuleDefinition edictor_module{"zelkor.skills.services.edictor", kModuleDoc, define_names};

}  // namespace

PyMODINIT_FUNC PyInit_edictor() {
    return edictor_module.init();
}
