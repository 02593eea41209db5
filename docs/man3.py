#!/usr/bin/env python3
"""Section 3 manual pages from Doxygen's XML of the public headers.

The header comments are the only source: this turns Doxygen's reading of them
into one page per exported function (NAME, LIBRARY, SYNOPSIS, DESCRIPTION,
PARAMETERS, RETURN VALUE, ON FAILURE, THREAD SAFETY, SEE ALSO) and one page
per header (its overview, types, constants and example).

It also checks that the reference is complete: every name a linker version
script exports is a function documented with a brief, every parameter, its
return values, what a failure leaves behind and its thread safety, and every
library header has an example. Anything missing is listed and the exit status
is 1; no page is written then.

    man3.py --xml DIR --out DIR --version V --map LIB.map... [--examples DIR] [--check-only]
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import xml.etree.ElementTree as ET
from typing import Optional

MANUAL = "ORV Library Functions"
ON_FAILURE = "On failure"
THREAD_SAFETY = "Thread safety"
EXAMPLE = "Example"


# ---- roff text ---------------------------------------------------------------


def escape(text: str) -> str:
    """Plain text for roff: backslashes, and minus signs outside words."""
    text = text.replace("\\", "\\e")
    return re.sub(r"(?<![A-Za-z])-|-(?![A-Za-z])", r"\\-", text)


def protect_lines(text: str) -> str:
    """A line may not start with a control character or be blank."""
    out = []
    for line in text.split("\n"):
        line = line.strip()
        if not line:
            continue
        if line[0] in ".'":
            line = "\\&" + line
        out.append(line)
    return "\n".join(out)


def inline(element: ET.Element) -> str:
    """The text of a paragraph's inline content, with fonts."""
    parts = [escape(element.text or "")]
    for child in element:
        tag = child.tag
        if tag in ("computeroutput", "bold", "ref"):
            parts.append("\\fB" + inline(child) + "\\fR")
        elif tag == "emphasis":
            parts.append("\\fI" + inline(child) + "\\fR")
        elif tag == "sp":
            parts.append(" ")
        elif tag in ("ndash", "mdash"):
            parts.append("\\-\\-" if tag == "ndash" else "\\-\\-\\-")
        elif tag == "linebreak":
            parts.append("\n.br\n")
        elif tag in ("parameterlist", "simplesect", "programlisting", "table", "itemizedlist", "orderedlist"):
            pass  # blocks: rendered by block()
        else:
            parts.append(inline(child))
        parts.append(escape(child.tail or ""))
    return "".join(parts)


def literal(element: ET.Element) -> str:
    """The text of code as written: <sp/> is a space."""
    parts = [element.text or ""]
    for child in element:
        parts.append(" " if child.tag == "sp" else literal(child))
        parts.append(child.tail or "")
    return "".join(parts)


def code(listing: ET.Element) -> str:
    lines = []
    for codeline in listing.iter("codeline"):
        text = literal(codeline)
        line = text.replace("\\", "\\e").replace("-", "\\-")
        lines.append("\\&" + line if line.startswith((".", "'")) else line)
    return ".PP\n.in +4n\n.EX\n" + "\n".join(lines) + "\n.EE\n.in\n"


def table(element: ET.Element) -> str:
    rows = [["".join(entry.itertext()).strip() for entry in row.findall("entry")] for row in element.findall("row")]
    widths = [max(len(row[i]) for row in rows if i < len(row)) for i in range(max(len(r) for r in rows))]
    lines = ["  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return ".PP\n.in +4n\n.EX\n" + "\n".join(escape(line) for line in lines) + "\n.EE\n.in\n"


def block(para: ET.Element, skip_titles: tuple[str, ...] = ()) -> str:
    """A <para> as roff paragraphs; lists of parameters and the titled
    paragraphs named in skip_titles are left to their own sections."""
    out = []
    text = protect_lines(inline(para))
    if text:
        out.append(".PP\n" + text + "\n")
    for child in para:
        if child.tag == "programlisting":
            out.append(code(child))
        elif child.tag == "table":
            out.append(table(child))
        elif child.tag in ("itemizedlist", "orderedlist"):
            for item in child.findall("listitem"):
                body = "".join(block(p) for p in item.findall("para")).replace(".PP\n", "", 1)
                out.append('.IP \\(bu 2\n' + body)
        elif child.tag == "simplesect" and child.get("kind") == "par":
            title = child.findtext("title", "")
            if title not in skip_titles:
                out.append(".SS " + escape(title) + "\n" + "".join(block(p) for p in child.findall("para")))
        elif child.tag == "simplesect" and child.get("kind") in ("note", "warning", "remark"):
            out.append("".join(block(p) for p in child.findall("para")))
    return "".join(out)


def titled(detail: Optional[ET.Element], title: str) -> list[ET.Element]:
    """The paragraphs of the \\par sections with this title."""
    if detail is None:
        return []
    return [
        p
        for sect in detail.iter("simplesect")
        if sect.get("kind") == "par" and sect.findtext("title", "") == title
        for p in sect.findall("para")
    ]


def items(detail: Optional[ET.Element], kind: str) -> list[tuple[str, ET.Element]]:
    """(name, description) of each entry of the \\param or \\retval lists."""
    if detail is None:
        return []
    found = []
    for plist in detail.iter("parameterlist"):
        if plist.get("kind") != kind:
            continue
        for item in plist.findall("parameteritem"):
            names = [n.text or "" for n in item.iter("parametername")]
            found.append((", ".join(names), item.find("parameterdescription")))
    return found


def text_of(element: Optional[ET.Element]) -> str:
    return " ".join("".join(element.itertext()).split()) if element is not None else ""


def described(member: ET.Element) -> str:
    """A member's one-paragraph comment, brief or not."""
    return text_of(member.find("briefdescription")) or text_of(member.find("detaileddescription"))


# ---- the headers -------------------------------------------------------------


class Header:
    def __init__(self, compound: ET.Element, library: Optional[str]):
        self.name = compound.findtext("compoundname", "")  # orv_tapwire.h
        self.page = self.name[:-2] if self.name.endswith(".h") else self.name
        self.library = library  # orv_tapwire, or None for orv_result.h
        self.brief = text_of(compound.find("briefdescription"))
        self.detail = compound.find("detaileddescription")
        self.members = list(compound.iter("memberdef"))
        self.functions = {m.findtext("name"): m for m in self.members if m.get("kind") == "function"}
        self.structs: list[ET.Element] = []

    @property
    def what(self) -> str:
        """The brief without the library name in front: "JTAG through ..."."""
        return re.sub(r"^\w+:\s*", "", self.brief).rstrip(".")


def read_maps(paths: list[str]) -> dict[str, list[str]]:
    """Library name -> exported names, from the version scripts."""
    libraries = {}
    for path in paths:
        names, exported = [], False
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line.startswith("global:"):
                    exported = True
                elif line.startswith("local:") or line.startswith("}"):
                    exported = False
                elif exported and line.rstrip(";"):
                    names.append(line.rstrip(";").strip())
        libraries[os.path.basename(path)[: -len(".map")]] = names
    return libraries


def load(xml_dir: str, libraries: dict[str, list[str]]) -> list[Header]:
    index = ET.parse(os.path.join(xml_dir, "index.xml")).getroot()
    headers = []
    for entry in index.findall("compound"):
        if entry.get("kind") != "file":
            continue
        compound = ET.parse(os.path.join(xml_dir, entry.get("refid") + ".xml")).getroot().find("compounddef")
        page = compound.findtext("compoundname", "")[:-2]
        header = Header(compound, page if page in libraries else None)
        for inner in compound.findall("innerclass"):
            struct = ET.parse(os.path.join(xml_dir, inner.get("refid") + ".xml")).getroot().find("compounddef")
            header.structs.append(struct)
        headers.append(header)
    return sorted(headers, key=lambda h: h.name)


def check(headers: list[Header], libraries: dict[str, list[str]]) -> list[str]:
    problems = []
    documented = {name: (h, m) for h in headers for name, m in h.functions.items()}
    for library, names in sorted(libraries.items()):
        header = next((h for h in headers if h.library == library), None)
        if header is None:
            problems.append(f"{library}: no documented header {library}.h")
            continue
        if not any(p.find("programlisting") is not None for p in titled(header.detail, EXAMPLE)):
            problems.append(f"{header.name}: no \\par {EXAMPLE} with a code block")
        for name in names:
            if name not in documented:
                problems.append(f"{library}: exported {name} has no documented declaration")
                continue
            h, m = documented[name]
            detail = m.find("detaileddescription")
            where = f"{h.name}: {name}"
            if not text_of(m.find("briefdescription")):
                problems.append(f"{where}: no brief description")
            params = [p.findtext("declname") for p in m.findall("param") if p.findtext("declname")]
            described = {n.strip() for names_, _ in items(detail, "param") for n in names_.split(",")}
            for p in params:
                if p not in described:
                    problems.append(f"{where}: parameter {p} not described")
            returns = m.findtext("type", "").strip() != "void"
            has_return = items(detail, "retval") or any(
                s.get("kind") == "return" for s in (detail.iter("simplesect") if detail is not None else [])
            )
            if returns and not has_return:
                problems.append(f"{where}: no \\retval or \\returns")
            for title in (ON_FAILURE, THREAD_SAFETY):
                if not titled(detail, title):
                    problems.append(f"{where}: no \\par {title}")
    return problems


# ---- the pages ---------------------------------------------------------------


def th(name: str, version: str) -> str:
    return f'.TH {name.upper()} 3 "" "orv {version}" "{MANUAL}"\n'


def prototype(member: ET.Element, width: int = 72) -> str:
    """The declaration with the parameter names in italics, as in SYNOPSIS,
    wrapped after a comma with the parameters lined up under the first."""
    rtype = "".join(member.find("type").itertext()).strip()
    name = member.findtext("name", "")
    head = f"{rtype}{'' if rtype.endswith('*') else ' '}{name}("
    args = []  # (visible text, roff)
    for p in member.findall("param"):
        ptype = "".join(p.find("type").itertext()).strip() if p.find("type") is not None else ""
        pname = p.findtext("declname", "")
        sep = "" if ptype.endswith("*") else " "
        shown = f"{ptype}{sep}{pname}" if pname else ptype
        roff = f"\\fB{escape(ptype)}{sep}\\fP\\fI{escape(pname)}\\fP" if pname else f"\\fB{escape(ptype)}\\fP"
        args.append((shown, roff))
    lines, column = [f"\\fB{escape(head)}\\fP"], len(head)
    for i, (shown, roff) in enumerate(args):
        last = i == len(args) - 1
        tail = "\\fB);\\fP" if last else "\\fB,\\fP"
        if column > len(head) and column + 1 + len(shown) + 2 > width:
            lines.append("\n" + " " * len(head))
            column = len(head)
        elif column > len(head):
            lines.append(" ")
            column += 1
        lines.append(roff + tail)
        column += len(shown) + (2 if last else 1)
    return "".join(lines)


def function_page(header: Header, member: ET.Element, version: str, exported: set[str]) -> str:
    name = member.findtext("name")
    detail = member.find("detaileddescription")
    brief = text_of(member.find("briefdescription")).rstrip(".")
    out = [th(name, version), ".SH NAME\n", f"{escape(name)} \\- {escape(brief)}\n"]
    out.append(".SH LIBRARY\n")
    out.append(f"{escape(header.what)} (\\fIlib{header.library}\\fP, \\fI\\-l{header.library}\\fP)\n")
    out.append(f".SH SYNOPSIS\n.nf\n.B #include <{header.name}>\n.PP\n{prototype(member)}\n.fi\n")
    out.append(".SH DESCRIPTION\n")
    if detail is not None:
        out.extend(block(p, (ON_FAILURE, THREAD_SAFETY)) for p in detail.findall("para"))
    params = items(detail, "param")
    if params:
        out.append(".SH PARAMETERS\n")
        for pname, desc in params:
            out.append(f".TP\n.I {escape(pname)}\n" + "".join(block(p) for p in desc.findall("para")).replace(".PP\n", "", 1))
    retvals = items(detail, "retval")
    returns = [s for s in (detail.iter("simplesect") if detail is not None else []) if s.get("kind") == "return"]
    if retvals or returns:
        out.append(".SH RETURN VALUE\n")
        for sect in returns:
            out.extend(block(p) for p in sect.findall("para"))
        for value, desc in retvals:
            out.append(f".TP\n.B {escape(value)}\n" + "".join(block(p) for p in desc.findall("para")).replace(".PP\n", "", 1))
    for title, section in ((ON_FAILURE, "ON FAILURE"), (THREAD_SAFETY, "THREAD SAFETY")):
        paras = titled(detail, title)
        if paras:
            out.append(f".SH {section}\n" + "".join(block(p) for p in paras))
    refs = sorted({n for n in ((r.text or "").rstrip("()") for r in member.iter("ref")) if n in exported and n != name})
    see = [f"{header.library} (3)"] + [f"{r} (3)" for r in refs] + ["orv_result (3)"]
    out.append(".SH SEE ALSO\n" + ",\n".join(f".BR {s}" for s in see) + "\n")
    return "".join(out)


def enum_text(member: ET.Element) -> str:
    out = [f".TP\n.B enum {escape(member.findtext('name', ''))}\n"]
    brief = described(member)
    out.append(escape(brief) + "\n" if brief else "")
    out.append(".RS\n")
    for value in member.findall("enumvalue"):
        init = (value.findtext("initializer", "") or "").strip()
        out.append(f".TP\n.B {escape(value.findtext('name', ''))} {escape(init)}\n")
        out.append(protect_lines(escape(described(value))) + "\n")
    out.append(".RE\n")
    return "".join(out)


def typedef_text(member: ET.Element) -> str:
    """A typedef: an opaque handle, or a callback with its parameters."""
    definition = " ".join(member.findtext("definition", "").split())
    definition = definition.replace("(* ", " (*").replace(") (", ")(")
    detail = member.find("detaileddescription")
    brief = text_of(member.find("briefdescription"))
    out = [f".TP\n.B {escape(definition)}\n"]
    if brief:
        out.append(protect_lines(escape(brief)) + "\n")
    if detail is not None:
        for para in detail.findall("para"):
            text = protect_lines(inline(para))
            if text:
                out.append(text + "\n")
    params = items(detail, "param")
    if params:
        out.append(".RS\n")
        for pname, desc in params:
            out.append(f".TP\n.I {escape(pname)}\n" + protect_lines(escape(text_of(desc))) + "\n")
        out.append(".RE\n")
    for sect in detail.iter("simplesect") if detail is not None else []:
        if sect.get("kind") == "return":
            out.append(".IP\nReturns " + protect_lines(escape(text_of(sect))) + "\n")
    return "".join(out)


def header_page(header: Header, version: str, pages: list[str]) -> str:
    out = [th(header.page, version), ".SH NAME\n", f"{escape(header.page)} \\- {escape(header.what)}\n"]
    if header.library:
        out.append(f".SH LIBRARY\n\\fIlib{header.library}\\fP (\\fI\\-l{header.library}\\fP; "
                   f"\\fBpkg\\-config \\-\\-cflags \\-\\-libs {header.library}\\fP)\n")
    out.append(f".SH SYNOPSIS\n.nf\n.B #include <{header.name}>\n")
    for name, member in header.functions.items():
        out.append(f".PP\n{prototype(member)}\n")
    out.append(".fi\n.SH DESCRIPTION\n")
    if header.detail is not None:
        out.extend(block(p, (EXAMPLE,)) for p in header.detail.findall("para"))
    constants = [m for m in header.members if m.get("kind") in ("enum", "define")]
    struct_names = {s.findtext("compoundname", "") for s in header.structs}
    typedefs = [m for m in header.members if m.get("kind") == "typedef" and m.findtext("name") not in struct_names]
    if constants or header.structs or typedefs:
        out.append(".SH TYPES AND CONSTANTS\n")
        for member in typedefs:
            out.append(typedef_text(member))
        for member in constants:
            if member.get("kind") == "enum":
                out.append(enum_text(member))
            else:
                init = (member.findtext("initializer", "") or "").strip()
                out.append(f".TP\n.B {escape(member.findtext('name', ''))} {escape(init)}\n")
                out.append(protect_lines(escape(described(member))) + "\n")
        for struct in header.structs:
            out.append(f".TP\n.B {escape(struct.findtext('compoundname', ''))}\n")
            out.append(protect_lines(escape(described(struct))) + "\n.RS\n")
            for field in struct.iter("memberdef"):
                decl = f"{''.join(field.find('type').itertext()).strip()} {field.findtext('name')}"
                out.append(f".TP\n.B {escape(decl)}\n")
                out.append(protect_lines(escape(described(field))) + "\n")
            out.append(".RE\n")
    example = titled(header.detail, EXAMPLE)
    if example:
        out.append(".SH EXAMPLES\n" + "".join(block(p) for p in example))
    see = [f"{p} (3)" for p in pages if p != header.page]
    out.append(".SH SEE ALSO\n" + ",\n".join(f".BR {s}" for s in see) + "\n")
    return "".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--xml", required=True, help="Doxygen's XML output")
    parser.add_argument("--out", help="directory for the .3 pages")
    parser.add_argument("--version", default="")
    parser.add_argument("--map", action="append", default=[], help="a library's linker version script")
    parser.add_argument("--examples", help="directory for each library header's example, as <header>.c")
    parser.add_argument("--check-only", action="store_true")
    args = parser.parse_args()

    libraries = read_maps(args.map)
    headers = load(args.xml, libraries)
    problems = check(headers, libraries)
    if problems:
        print("undocumented in the public headers:", file=sys.stderr)
        for p in problems:
            print("  " + p, file=sys.stderr)
        return 1
    exported = {n for names in libraries.values() for n in names}
    print(f"ok: {len(exported)} exported functions of {len(libraries)} libraries fully documented")
    if args.check_only or not args.out:
        return 0

    os.makedirs(args.out, exist_ok=True)
    pages = [h.page for h in headers] + sorted(exported)
    for header in headers:
        with open(os.path.join(args.out, header.page + ".3"), "w", encoding="utf-8") as f:
            f.write(header_page(header, args.version, [h.page for h in headers]))
        if header.library is None:
            continue
        for name in libraries[header.library]:
            with open(os.path.join(args.out, name + ".3"), "w", encoding="utf-8") as f:
                f.write(function_page(header, header.functions[name], args.version, exported))
    print(f"wrote {len(pages)} pages to {args.out}")
    if args.examples:
        os.makedirs(args.examples, exist_ok=True)
        for header in headers:
            for para in titled(header.detail, EXAMPLE):
                for listing in para.iter("programlisting"):
                    with open(os.path.join(args.examples, header.page + ".c"), "w", encoding="utf-8") as f:
                        f.write("\n".join(literal(line) for line in listing.iter("codeline")) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
