#!/usr/bin/env python3
"""Generates the BGAPI message table, records and command encoders.

Input: the message table (messages.tsv). Output: BgMessages.h (records,
ble_cmd_* encoders, table declaration) and BgMessages.cpp (the table, its
class indexes and the per-row handlers). Python 3 standard library only.
"""

import argparse
import csv
import sys

CLASS_COUNT = 10
MAX_PARAMS = 8

# type name -> (parameter code, record field type, bytes in the fixed part).
# Multi-byte integers use alignment-1 field types: records are read at any
# offset of the payload.
TYPES = {
    "uint8": (2, "uint8_t", 1),
    "int8": (3, "int8_t", 1),
    "uint16": (4, "uint16le", 2),
    "int16": (5, "int16le", 2),
    "uint32": (6, "uint32le", 4),
    "int32": (7, "int32le", 4),
    "uint8array": (8, "uint8array", 1),
    "string": (9, "uint8array", 1),
    "bd_addr": (10, "bd_addr_t", 6),
}
ARRAY_TYPES = ("uint8array", "string")
# Command encoder argument types of the integer parameters.
ARG_TYPES = {"uint8": "uint8_t", "int8": "int8_t", "uint16": "uint16_t", "int16": "int16_t", "uint32": "uint32_t",
             "int32": "int32_t"}

KIND_ORDER = ("cmd", "rsp", "evt")
KIND_ENUM = {"cmd": "BgMessageKind::kCommand", "rsp": "BgMessageKind::kResponse", "evt": "BgMessageKind::kEvent"}

# Rows whose handler does more than publish the record under the row's name.
SPECIAL_HANDLERS = {
    ("evt", "connection_disconnected"): "BgOnConnectionDisconnected",
    ("evt", "attclient_attribute_value"): "BgOnAttributeValue",
}
COMMAND_HANDLER = "BgOnCommandRow"

CPP_KEYWORDS = {
    "alignas", "alignof", "and", "asm", "auto", "bool", "break", "case", "catch", "char", "class", "const",
    "constexpr", "continue", "default", "delete", "do", "double", "else", "enum", "explicit", "export", "extern",
    "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new",
    "noexcept", "not", "nullptr", "operator", "or", "private", "protected", "public", "register", "return", "short",
    "signed", "sizeof", "static", "struct", "switch", "template", "this", "throw", "true", "try", "typedef",
    "typename", "union", "unsigned", "using", "virtual", "void", "volatile", "while", "xor",
}


class TableError(Exception):
    pass


class Param:
    def __init__(self, name, type_name):
        if type_name not in TYPES:
            raise TableError("unsupported parameter type %r" % type_name)
        if not name.isidentifier() or name in CPP_KEYWORDS:
            raise TableError("parameter name %r is not usable in C++" % name)
        self.name = name
        self.type_name = type_name
        self.code, self.cpp_type, self.width = TYPES[type_name]

    @property
    def is_array(self):
        return self.type_name in ARRAY_TYPES


class Row:
    def __init__(self, line_no, fields):
        self.line_no = line_no
        self.kind = fields["kind"]
        if self.kind not in KIND_ORDER:
            raise TableError("line %d: unknown kind %r" % (line_no, self.kind))
        self.class_id = int(fields["class_id"])
        self.class_name = fields["class_name"]
        self.msg_id = int(fields["msg_id"])
        self.name = fields["name"]
        if not self.name.isidentifier():
            raise TableError("line %d: bad message name %r" % (line_no, self.name))
        self.params = []
        for item in filter(None, fields["params"].split(",")):
            pname, _, ptype = item.partition(":")
            try:
                self.params.append(Param(pname.strip(), ptype.strip()))
            except TableError as error:
                raise TableError("line %d (%s): %s" % (line_no, self.name, error))
        self.fixed_len = int(fields["fixed_len"])
        self.check()

    def check(self):
        where = "line %d (%s)" % (self.line_no, self.name)
        if not 0 <= self.class_id < CLASS_COUNT:
            raise TableError("%s: class id %d out of range" % (where, self.class_id))
        if not 0 <= self.msg_id <= 255:
            raise TableError("%s: message id %d out of range" % (where, self.msg_id))
        if len(self.params) > MAX_PARAMS:
            raise TableError("%s: more than %d parameters" % (where, MAX_PARAMS))
        names = [p.name for p in self.params]
        if len(set(names)) != len(names):
            raise TableError("%s: duplicate parameter names" % where)
        for index, param in enumerate(self.params):
            if param.is_array and index != len(self.params) - 1:
                raise TableError("%s: an array must be the last parameter" % where)
        width = sum(p.width for p in self.params)
        if width != self.fixed_len:
            raise TableError("%s: fixed_len %d, parameters take %d" % (where, self.fixed_len, width))
        if self.fixed_len + 4 > 255:
            raise TableError("%s: fixed part too long" % where)

    @property
    def bglib_name(self):
        return "ble_%s_%s" % (self.kind, self.name)

    @property
    def record(self):
        return "ble_msg_%s_%s_t" % (self.name, self.kind)

    @property
    def params_code(self):
        value = 0
        for index, param in enumerate(self.params):
            value |= param.code << (4 * index)
        return value

    @property
    def header_byte0(self):
        return 0x80 if self.kind == "evt" else 0x00


def load(path):
    with open(path, newline="", encoding="utf-8") as stream:
        reader = csv.DictReader(stream, delimiter="\t")
        required = {"kind", "class_id", "class_name", "msg_id", "name", "params", "fixed_len"}
        missing = required - set(reader.fieldnames or [])
        if missing:
            raise TableError("missing columns: %s" % ", ".join(sorted(missing)))
        rows = [Row(number, fields) for number, fields in enumerate(reader, start=2)]
    check_table(rows)
    return rows


def check_table(rows):
    # Groups in kind order, each sorted by class then id, ids from 0 without gaps.
    order = [KIND_ORDER.index(r.kind) for r in rows]
    if order != sorted(order):
        raise TableError("rows must be commands, then responses, then events")
    seen_names = set()
    for kind in KIND_ORDER:
        group = [r for r in rows if r.kind == kind]
        keys = [(r.class_id, r.msg_id) for r in group]
        if keys != sorted(keys):
            raise TableError("%s rows are not ordered by class and id" % kind)
        for class_id in range(CLASS_COUNT):
            ids = [r.msg_id for r in group if r.class_id == class_id]
            if ids != list(range(len(ids))):
                raise TableError("%s ids of class %d do not run from 0 without gaps" % (kind, class_id))
        for r in group:
            if r.bglib_name in seen_names:
                raise TableError("duplicate message %s" % r.bglib_name)
            seen_names.add(r.bglib_name)
    commands = [(r.class_id, r.msg_id, r.name) for r in rows if r.kind == "cmd"]
    responses = [(r.class_id, r.msg_id, r.name) for r in rows if r.kind == "rsp"]
    if commands != responses:
        raise TableError("every command needs the response of the same class, id and name")
    for key in SPECIAL_HANDLERS:
        if not any((r.kind, r.name) == key for r in rows):
            raise TableError("special handler row %s_%s is missing" % key)


HEADER_PROLOGUE = """\
// Generated by scripts/generate_bgapi.py from src/bluegiga/data/messages.tsv; edit those instead.
#pragma once

#include <cstdint>

#include "bluegiga/BgMessageDef.h"
#include "bluegiga/BgSend.h"
#include "bluegiga/BgTypes.h"
"""


def field_lines(row):
    return ["  %s %s;" % (p.cpp_type, p.name) for p in row.params]


def command_signature(row):
    args = []
    forward = []
    for p in row.params:
        if p.is_array:
            args += ["uint8_t %s_len" % p.name, "const uint8_t* %s_data" % p.name]
            forward += ["%s_len" % p.name, "%s_data" % p.name]
        elif p.type_name == "bd_addr":
            args.append("const bd_addr_t* %s" % p.name)
            forward.append(p.name)
        else:
            args.append("%s %s" % (ARG_TYPES[p.type_name], p.name))
            forward.append(p.name)
    return ", ".join(args), forward


def generate_header(rows):
    counts = {kind: sum(1 for r in rows if r.kind == kind) for kind in KIND_ORDER}
    out = [HEADER_PROLOGUE]
    out.append("namespace lumen::details {\n")
    out.append("constexpr int kBgMessageCount = %d;" % len(rows))
    out.append("constexpr int kBgCommandCount = %d;" % counts["cmd"])
    out.append("constexpr int kBgResponseCount = %d;" % counts["rsp"])
    out.append("constexpr int kBgEventCount = %d;" % counts["evt"])
    out.append("constexpr int kBgFirstResponseRow = %d;" % counts["cmd"])
    out.append("constexpr int kBgFirstEventRow = %d;" % (counts["cmd"] + counts["rsp"]))
    out.append("")
    out.append("// Commands, then responses, then events; each group by class, then id.")
    out.append("extern const BgMessageDef BgMessageTable[kBgMessageCount];")
    out.append("// Rows of each class, indexed by class id.")
    out.append("extern const BgClassIndex BgResponseIndex[kBgClassCount];")
    out.append("extern const BgClassIndex BgEventIndex[kBgClassCount];")
    out.append("\n}  // namespace lumen::details\n")

    out.append("namespace lumen::details::bglib {\n")
    out.append("#pragma pack(push, 1)\n")
    for row in rows:
        if not row.params:
            continue
        out.append("struct %s {" % row.record)
        out += field_lines(row)
        out.append("};\n")
    out.append("#pragma pack(pop)\n")
    out.append("// Each record is exactly the fixed part of its message.")
    for row in rows:
        if row.params:
            out.append("static_assert(sizeof(%s) == %d);" % (row.record, row.fixed_len))
    out.append("")
    out.append("// Command encoders: integers by value, addresses by pointer, an array as")
    out.append("// its length and a pointer to its bytes.")
    for index, row in enumerate(rows):
        if row.kind != "cmd":
            continue
        signature, forward = command_signature(row)
        call_args = ", ".join([str(index)] + forward)
        out.append("inline void ble_cmd_%s(%s) { BgSendMessage(%s); }" % (row.name, signature, call_args))
    out.append("\n}  // namespace lumen::details::bglib")
    return "\n".join(out) + "\n"


SOURCE_PROLOGUE = """\
// Generated by scripts/generate_bgapi.py from src/bluegiga/data/messages.tsv; edit those instead.
#include "bluegiga/BgMessages.h"

#include "bluegiga/BgHandlers.h"
#include "core/CallbacksManager.h"
"""


def handler_name(row):
    if row.kind == "cmd":
        return COMMAND_HANDLER
    special = SPECIAL_HANDLERS.get((row.kind, row.name))
    if special:
        return special
    return "On_%s" % row.bglib_name


def generate_source(rows):
    out = [SOURCE_PROLOGUE]
    out.append("namespace lumen::details {")
    out.append("namespace {\n")
    for row in rows:
        if row.kind == "cmd" or (row.kind, row.name) in SPECIAL_HANDLERS:
            continue
        name = handler_name(row)
        if row.params:
            out.append("void %s(const void* payload) {" % name)
            out.append('  Publish<const bglib::%s*>("%s", static_cast<const bglib::%s*>(payload));' %
                       (row.record, row.bglib_name, row.record))
        else:
            out.append("void %s(const void* /*payload*/) {" % name)
            out.append('  Publish<const void*>("%s", nullptr);' % row.bglib_name)
        out.append("}\n")
    out.append("}  // namespace\n")

    out.append("const BgMessageDef BgMessageTable[kBgMessageCount] = {")
    for row in rows:
        record_size = "sizeof(bglib::%s)" % row.record if row.params else "0"
        out.append("    {{0x%02X, 0x%02X, 0x%02X, 0x%02X}, 0x%08Xu, &%s, \"%s\", %s, %s}," %
                   (row.header_byte0, row.fixed_len, row.class_id, row.msg_id, row.params_code,
                    handler_name(row), row.bglib_name, KIND_ENUM[row.kind], record_size))
    out.append("};\n")

    for kind, index_name in (("rsp", "BgResponseIndex"), ("evt", "BgEventIndex")):
        out.append("const BgClassIndex %s[kBgClassCount] = {" % index_name)
        for class_id in range(CLASS_COUNT):
            positions = [i for i, r in enumerate(rows) if r.kind == kind and r.class_id == class_id]
            if positions:
                out.append("    {&BgMessageTable[%d], %d}," % (positions[0], len(positions)))
            else:
                out.append("    {nullptr, 0},")
        out.append("};\n")
    out.append("}  // namespace lumen::details")
    return "\n".join(out) + "\n"


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="\n") as stream:
        stream.write(text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("table", help="messages.tsv")
    parser.add_argument("--header", required=True, help="BgMessages.h to write")
    parser.add_argument("--source", required=True, help="BgMessages.cpp to write")
    args = parser.parse_args(argv)
    try:
        rows = load(args.table)
    except (TableError, ValueError, KeyError) as error:
        print("%s: %s" % (args.table, error), file=sys.stderr)
        return 1
    write(args.header, generate_header(rows))
    write(args.source, generate_source(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
