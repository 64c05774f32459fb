// zelkor.mcp.coffer: one private credential directory per API key.
//
//     import hashlib
//     from pathlib import Path
//
//     def get_credential_dir_for_key(api_key: str, base_root: Path) -> Path:
//         key_hash = hashlib.sha256(api_key.encode("utf-8")).hexdigest()[:16]
//         path = base_root / key_hash
//         path.mkdir(mode=0o700, parents=True, exist_ok=True)
//         path.chmod(0o700)
//         return path
#include "runtime/calls.hpp"
#include "runtime/module.hpp"

namespace {

using zelkor::Ref;

constexpr const char* kModuleDoc =
    "MCP 凭证目录隔离模块。\n"
    "\n"
    "提供基于 API Key 哈希的凭证存储目录映射，实现多用户场景下的\n"
    "凭证物理隔离。\n";

constexpr const char* kGetCredentialDirForKeyDoc =
    "将 API Key 映射为固定长度的目录名。\n"
    "\n"
    "    使用 SHA256 前 16 位作为目录名，避免特殊字符问题，\n"
    "    同时保证相同的 API Key 始终映射到相同的目录。\n"
    "\n"
    "    Args:\n"
    "        api_key: 明文 API Key\n"
    "        base_root: 凭证存储根目录（如 ~/.config/zelkor/credentials_by_key/）\n"
    "\n"
    "    Returns:\n"
    "        该 API Key 对应的凭证隔离目录路径\n"
    "    ";

zelkor::Name hashlib_name{"hashlib"};
zelkor::Name sha256_name{"sha256"};
zelkor::Name hexdigest_name{"hexdigest"};
zelkor::Name mkdir_name{"mkdir"};
zelkor::Name chmod_name{"chmod"};
zelkor::KeywordNames mkdir_keywords{"mode", "parents", "exist_ok"};
// Owner read, write and search; nothing for group and others.
zelkor::CachedValue private_mode{[] { return PyLong_FromLong(0700); }};
// [:16], the length of a directory name
zelkor::CachedValue first_16{[] {
    Ref stop = Ref::steal(PyLong_FromLong(16));
    return stop ? PySlice_New(nullptr, stop.get(), nullptr) : nullptr;
}};

// hashlib.sha256(api_key.encode("utf-8")).hexdigest()[:16]
Ref key_hash(zelkor::Function& function, PyObject* api_key) {
    Ref encoded = Ref::steal(PyUnicode_AsUTF8String(api_key));  // strict, like str.encode
    if (!encoded) {
        return {};
    }
    Ref hashlib = zelkor::global(function, hashlib_name);
    if (!hashlib) {
        return {};
    }
    Ref hash = zelkor::call_method(hashlib.get(), sha256_name, encoded.get());
    if (!hash) {
        return {};
    }
    Ref digest = zelkor::call_method(hash.get(), hexdigest_name);
    PyObject* slice = digest ? first_16.get() : nullptr;
    return slice ? Ref::steal(PyObject_GetItem(digest.get(), slice)) : Ref();
}

PyObject* get_credential_dir_for_key(zelkor::Function& function, PyObject* const* args) {
    PyObject* api_key = args[0];
    PyObject* base_root = args[1];
    Ref hash = key_hash(function, api_key);
    if (!hash) {
        return nullptr;
    }
    Ref path = Ref::steal(PyNumber_TrueDivide(base_root, hash.get()));
    PyObject* mode = path ? private_mode.get() : nullptr;
    if (mode == nullptr) {
        return nullptr;
    }
    // Created private from the start, so the directory is never open to
    // others, not even briefly; parents keep the default mode.
    Ref created = zelkor::call_method_kw(path.get(), mkdir_name, mkdir_keywords, mode, Py_True,
                                         Py_True);
    if (!created) {
        return nullptr;
    }
    // Applied every time, so an existing directory is made private again.
    Ref changed = zelkor::call_method(path.get(), chmod_name, mode);
    if (!changed) {
        return nullptr;
    }
    return path.release();
}

constexpr zelkor::Parameter kGetCredentialDirForKeyParameters[] = {
    {.name = "api_key", .annotation = "str", .check = zelkor::ArgumentCheck::exact_str},
    {.name = "base_root", .annotation = "Path"},
};

const zelkor::FunctionDecl kGetCredentialDirForKey = {
    .name = "get_credential_dir_for_key",
    .qualname = "get_credential_dir_for_key",
    .line = 13,
    .parameters = kGetCredentialDirForKeyParameters,
    .returns = "Path",
    .doc = kGetCredentialDirForKeyDoc,
    .body = get_credential_dir_for_key,
};

bool define_names(zelkor::ModuleBuilder& module) {
    return module.import_module("hashlib") &&
           module.import_from("pathlib", "Path") &&
           module.add_function(kGetCredentialDirForKey) &&
           module.set("__test__", Ref::steal(PyDict_New()));
}

zelkor::ModuleDefinition coffer_module{"zelkor.mcp.coffer", kModuleDoc, define_names};

}  // namespace

PyMODINIT_FUNC PyInit_coffer() {
    return coffer_module.init();
}
