#!/usr/bin/env python3
"""Compares the vtables of the public header between MSVC's C++ ABI and the
mingw-w64 build of the driver.

The host is built by MSVC, the driver by mingw-w64 GCC. For every interface
of src/host/orvalen_host.h and every operation this checks, per architecture:
  - the vtable slot: clang in MSVC mode (-fdump-vtable-layouts) against GCC
    (-fdump-lang-class), on a probe class implementing each interface;
  - on i686 the calling convention of each operation, from the disassembly
    of both compilers' implementations (this in ECX, the bytes the callee
    pops with `ret N`) and of a call through an interface pointer (the slot
    offset it reads, this loaded into ECX).
It prints one table and exits 1 on any difference.

Usage: vtable_abi_check.py [--arch i686|x86_64]... [--work DIR] [-- GCC flags]
GCC flags after `--` go to the mingw compile only (for example
-DORVALEN_MSVC_VTABLES=0 to see the check fail on GCC's own layout).
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADER = "host/orvalen_host.h"
LLVM_BIN = "/usr/lib/llvm-14/bin"
TARGETS = {
    "i686": ("i686-pc-windows-msvc", "i686-w64-mingw32"),
    "x86_64": ("x86_64-pc-windows-msvc", "x86_64-w64-mingw32"),
}
DTOR = "~destructor"


def tool(name):
    for candidate in (os.path.join(LLVM_BIN, name), shutil.which(name), shutil.which(name + "-14")):
        if candidate and os.path.exists(candidate):
            return candidate
    sys.exit("vtable check: %s is missing (scripts/deps.sh installs it)" % name)


def run(cmd, cwd=None):
    result = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.stderr.write(result.stdout + result.stderr)
        sys.exit("vtable check: failed: %s" % " ".join(cmd))
    return result.stdout


def clean_type(text):
    return re.sub(r"\s*__attribute__\(\(\w+\)\)", "", text).strip()


def interfaces(clang, msvc_target, work):
    """Every class of the header with virtual operations: its namespace, its
    base, and its own operations in declaration order (destructor included)."""
    source = os.path.join(work, "header.cpp")
    with open(source, "w") as f:
        f.write('#include "%s"\n' % HEADER)
    ast = json.loads(run([clang, "--target=" + msvc_target, "-ffreestanding", "-std=c++17", "-I", os.path.join(ROOT, "src"),
                          "-Xclang", "-ast-dump=json", "-fsyntax-only", source]))
    found = {}

    def walk(node, namespace):
        kind = node.get("kind")
        if kind == "NamespaceDecl":
            namespace = namespace + [node["name"]]
        if kind == "CXXRecordDecl" and node.get("completeDefinition"):
            ops = []
            for member in node.get("inner", []):
                if member.get("kind") not in ("CXXMethodDecl", "CXXDestructorDecl") or not member.get("virtual"):
                    continue
                if member.get("isImplicit"):
                    continue
                qual = clean_type(member["type"]["qualType"])
                params = [clean_type(p["type"]["qualType"]) for p in member.get("inner", []) if p.get("kind") == "ParmVarDecl"]
                ops.append({
                    "name": DTOR if member["kind"] == "CXXDestructorDecl" else member["name"],
                    "ret": qual[:qual.index("(")].strip(),
                    "params": params,
                    "const": qual.endswith(" const"),
                    "variadic": member.get("variadic", False) or "..." in qual,
                })
            if ops:
                bases = [b["type"]["qualType"].split("::")[-1] for b in node.get("bases", [])]
                found[node["name"]] = {"namespace": namespace, "base": bases[0] if bases else None, "ops": ops}
            return
        for child in node.get("inner", []):
            walk(child, namespace)

    walk(ast, [])
    return found


def chain(found, name):
    """(declaring interface, operation) in slot order for an interface and its bases."""
    entry = found[name]
    prefix = chain(found, entry["base"]) if entry["base"] else []
    return prefix + [(name, op) for op in entry["ops"] if op["name"] != DTOR or not prefix]


def probe_source(found, leaves):
    lines = ['#include "%s"' % HEADER, 'extern "C" void orvalen_probe_sink(const void*);',
             'extern "C" void orvalen_probe_after();']
    for name in leaves:
        ns = found[name]["namespace"]
        lines += ["namespace %s {" % n for n in ns]
        lines.append("class Probe_%s final : public %s {\n public:" % (name, name))
        for _, op in chain(found, name):
            if op["name"] == DTOR:
                continue
            params = ", ".join("%s a%d" % (t, i) for i, t in enumerate(op["params"]))
            body = "orvalen_probe_sink(this);"
            if op["ret"] != "void":
                body += " return {};"
            lines.append("  %s %s(%s)%s override { %s }" % (op["ret"], op["name"], params, " const" if op["const"] else "", body))
        lines.append("};")
        lines.append("Probe_%s* MakeProbe_%s() { return new Probe_%s(); }" % (name, name, name))
        lines.append("void Call_%s_delete(%s* p) { telvora::DeleteInterfaceObject(p); orvalen_probe_after(); }" % (name, name))
        for _, op in chain(found, name):
            if op["name"] == DTOR:
                continue
            args = ", ".join("%s()" % re.sub(r"^const ", "", t) if "*" not in t else "nullptr" for t in op["params"])
            lines.append("void Call_%s_%s(%s* p) { p->%s(%s); orvalen_probe_after(); }" % (name, op["name"], name, op["name"], args))
        lines += ["}"] * len(ns)
    return "\n".join(lines) + "\n"


def msvc_slots(dump):
    """{probe class: [operation names by slot]} from clang's vftable dump."""
    slots = {}
    current = None
    for line in dump.splitlines():
        m = re.match(r"VFTable for '.*' in '(?:\w+::)*Probe_(\w+)' \(\d+ entr", line) or \
            re.match(r"VFTable for '(?:\w+::)*Probe_(\w+)' \(\d+ entr", line)
        if m:
            current = m.group(1)
            slots[current] = []
            continue
        m = re.match(r"\s+(\d+) \| (.*)$", line)
        if current and m:
            text = m.group(2)
            if "RTTI" in text:
                continue
            name = DTOR if "~" in text else re.search(r"::(\w+)\(", text).group(1)
            slots[current].append(name)
        elif not line.strip():
            current = None
    return slots


def gnu_slots(dump, pointer):
    slots = {}
    current = None
    for line in dump.splitlines():
        m = re.match(r"Vtable for (?:\w+::)*Probe_(\w+)$", line)
        if m:
            current = m.group(1)
            slots[current] = []
            continue
        m = re.match(r"(\d+)\s+\(int \(\*\)\(\.\.\.\)\)(.*)$", line)
        if current and m:
            offset = int(m.group(1))
            if offset < 2 * pointer:  # offset to top and RTTI come before the address point
                continue
            target = m.group(2).strip()
            leaf = target.split("::")[-1]
            slots[current].append(DTOR if leaf.startswith("~") or leaf == "ScalarDeletingDestructor" else leaf)
        elif not line.strip():
            current = None
    return slots


def functions(disassembly):
    """{demangled function name: [instructions]}"""
    result = {}
    current = None
    for line in disassembly.splitlines():
        m = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if m:
            current = m.group(1)
            result[current] = []
        elif current and re.match(r"^\s+[0-9a-f]+:\s", line):
            result[current].append(line.split(":", 1)[1].strip())
    return result


def find(funcs, pattern):
    for name, body in funcs.items():
        if re.search(pattern, name):
            return body
    return None


def convention_of_implementation(body):
    """('ecx'|'stack', popped bytes) from an implementation."""
    if body is None:
        return None
    this_reg = "stack"
    for ins in body:
        ops = ins.split(None, 1)
        if len(ops) < 2:
            continue
        args = [a.strip() for a in ops[1].split(",")]
        if any("%ecx" in a for a in args[:-1]) or (len(args) == 1 and "%ecx" in args[0] and not ops[0].startswith("pop")):
            this_reg = "ecx"
            break
        if "%ecx" in args[-1]:
            break
    popped = 0
    for ins in body:
        m = re.match(r"retl?\s+\$(0x[0-9a-f]+|\d+)", ins)
        if m:
            popped = int(m.group(1), 0)
    return (this_reg, popped)


def convention_of_call(body):
    """(slot offset, this in ECX) from a call through an interface pointer."""
    if body is None:
        return None
    ecx_set = False
    for ins in body:
        m = re.match(r"(?:call|jmp)l?\s+\*(0x[0-9a-f]+|\d+)?\(%(\w+)\)", ins)
        if m:
            return (int(m.group(1) or "0", 0), ecx_set)
        ops = ins.split(None, 1)
        if len(ops) == 2 and ops[1].split(",")[-1].strip() == "%ecx":
            ecx_set = True
    return None


def check_arch(arch, clang, objdump, work, gnu_flags):
    msvc_target, gnu_triple = TARGETS[arch]
    gxx = shutil.which(gnu_triple + "-g++-posix") or shutil.which(gnu_triple + "-g++")
    if not gxx:
        sys.exit("vtable check: %s-g++ is missing (scripts/deps.sh installs it)" % gnu_triple)
    found = interfaces(clang, msvc_target, work)
    extended = {entry["base"] for entry in found.values() if entry["base"]}
    leaves = sorted(name for name in found if name not in extended)
    for name, entry in found.items():
        names = [op["name"] for op in entry["ops"]]
        if len(set(names)) != len(names):
            print("%s overloads a virtual operation: MSVC groups overloads, which this check does not model" % name)
            return False
    probe = os.path.join(work, "probe_%s.cpp" % arch)
    with open(probe, "w") as f:
        f.write(probe_source(found, leaves))
    include = ["-I", os.path.join(ROOT, "src")]
    msvc_obj = os.path.join(work, "probe_msvc_%s.obj" % arch)
    dump = run([clang, "--target=" + msvc_target, "-ffreestanding", "-std=c++17", "-O1", "-fno-rtti"] + include +
               ["-Xclang", "-fdump-vtable-layouts", "-c", probe, "-o", msvc_obj])
    gnu_dir = os.path.join(work, "gnu_" + arch)
    os.makedirs(gnu_dir, exist_ok=True)
    for old in glob.glob(os.path.join(gnu_dir, "*.class")):
        os.remove(old)
    gnu_obj = os.path.join(gnu_dir, "probe.o")
    run([gxx, "-std=c++17", "-O1", "-fno-rtti", "-fdump-lang-class"] + include + gnu_flags + ["-c", probe, "-o", gnu_obj], cwd=gnu_dir)
    class_dumps = glob.glob(os.path.join(gnu_dir, "*.class"))
    if not class_dumps:
        sys.exit("vtable check: GCC wrote no class dump")
    pointer = 4 if arch == "i686" else 8
    with open(class_dumps[0]) as f:
        gnu = gnu_slots(f.read(), pointer)
    msvc = msvc_slots(dump)

    impls = {}
    if arch == "i686":
        impls = {"msvc": functions(run([objdump, "-d", "-C", "--no-show-raw-insn", msvc_obj])),
                 "gnu": functions(run([objdump, "-d", "-C", "--no-show-raw-insn", gnu_obj]))}

    ok = True
    print("== %s: clang --target=%s against %s" % (arch, msvc_target, os.path.basename(gxx)))
    header = "%-28s %4s  %-22s %-22s %-22s" % ("interface", "slot", "operation", "msvc", "mingw")
    if arch == "i686":
        header += "  %-14s %-14s %-12s %-12s" % ("impl msvc", "impl mingw", "call msvc", "call mingw")
    print(header)
    for leaf in leaves:
        expected = chain(found, leaf)
        m_slots = msvc.get(leaf, [])
        g_slots = gnu.get(leaf, [])
        # GCC may keep the C++ destructor's two slots after everything MSVC reaches.
        g_extra = g_slots[len(m_slots):]
        if any(name != DTOR for name in g_extra):
            ok = False
            print("%-28s  mingw has operations beyond MSVC's %d slots: %s" % (leaf, len(m_slots), g_extra))
        for slot, (declared, op) in enumerate(expected):
            m_name = m_slots[slot] if slot < len(m_slots) else "-"
            g_name = g_slots[slot] if slot < len(g_slots) else "-"
            row_ok = m_name == op["name"] and g_name == op["name"]
            row = "%-28s %4d  %-22s %-22s %-22s" % (declared, slot, op["name"], m_name, g_name)
            if arch == "i686":
                if op["name"] == DTOR:
                    # MSVC's scalar deleting destructor against the GNU
                    # build's slot 0, and `delete` against DeleteInterfaceObject.
                    mi = convention_of_implementation(find(impls["msvc"], r"\bProbe_%s::`scalar deleting dtor'" % leaf))
                    gi = convention_of_implementation(find(impls["gnu"], r"(^|::)%s::ScalarDeletingDestructor\(" % leaf))
                    mc = convention_of_call(find(impls["msvc"], r"\bCall_%s_delete\(" % leaf))
                    gc = convention_of_call(find(impls["gnu"], r"\bCall_%s_delete\(" % leaf))
                    m_impl = "%s ret %d" % mi if mi else "-"
                    g_impl = "%s ret %d" % gi if gi else "-"
                    m_call = "+%d %s" % (mc[0], "ecx" if mc[1] else "no-ecx") if mc else "-"
                    g_call = "+%d %s" % (gc[0], "ecx" if gc[1] else "no-ecx") if gc else "-"
                    row_ok = row_ok and m_impl == g_impl == "ecx ret 4" and m_call == g_call == "+0 ecx"
                else:
                    method = r"\bProbe_%s::%s\(" % (leaf, op["name"])
                    call = r"\bCall_%s_%s\(" % (leaf, op["name"])
                    mi = convention_of_implementation(find(impls["msvc"], method))
                    gi = convention_of_implementation(find(impls["gnu"], method))
                    mc = convention_of_call(find(impls["msvc"], call))
                    gc = convention_of_call(find(impls["gnu"], call))
                    m_impl = "%s ret %d" % mi if mi else "-"
                    g_impl = "%s ret %d" % gi if gi else "-"
                    m_call = "+%d %s" % (mc[0], "ecx" if mc[1] else "no-ecx") if mc else "-"
                    g_call = "+%d %s" % (gc[0], "ecx" if gc[1] else "no-ecx") if gc else "-"
                    want_call = "+%d %s" % (slot * 4, "cdecl" if op["variadic"] else "ecx")
                    row_ok = row_ok and m_impl == g_impl and m_call == g_call and m_call == want_call and \
                        (op["variadic"] or m_impl.startswith("ecx"))
                row += "  %-14s %-14s %-12s %-12s" % (m_impl, g_impl, m_call, g_call)
            if not row_ok:
                ok = False
                row += "  DIFFERS"
            print(row)
    print("== %s: %s" % (arch, "every slot and convention matches" if ok else "MISMATCH"))
    return ok


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", action="append", choices=sorted(TARGETS))
    parser.add_argument("--work")
    parser.add_argument("gnu_flags", nargs="*")
    args = parser.parse_args()
    clang = tool("clang++")
    objdump = tool("llvm-objdump")
    work = args.work or tempfile.mkdtemp(prefix="vtable-check-")
    os.makedirs(work, exist_ok=True)
    ok = True
    for arch in args.arch or ["i686", "x86_64"]:
        ok = check_arch(arch, clang, objdump, work, args.gnu_flags) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
