#!/usr/bin/env python3
"""Machine-made mutants of the program: every line of app/ link/ transfer/ image/ serial/ cli/.

Usage: scripts/mutants.py [options] [NUMBER|RANGE ...]

Each mutation operator is applied wherever it fits:
  ror     a relational operator replaced (< and <=, > and >=, == and != exchanged)
  lcr     && and || exchanged
  neg     the condition of an if or a while negated
  const   a constant changed (0 to 1, 1 to 0, n to n+1 and n-1, true and false exchanged)
  aor     + and - exchanged (also += and -=)
  del     a statement deleted: a call, an assignment, a return of a status inside a branch
  ret     a returned value replaced by an empty one (return {}: false, 0, "", empty list)
  str     a user-facing string literal changed (its first letter's case turned)
Comments, string contents (but for str), include and other preprocessor lines, lines of Qt's
and other macros, capacity hints (reserve) and code the build leaves out on this system
(#ifdef Q_OS_WIN ...) are skipped, and so are forms that would plainly not build (+ and -
between texts, return {} in a lambda of deduced type).

The same tree gives the same numbered mutants: files in path order, then line, column and
operator. Each mutant also has an id (file@hash of the line before and after) that stays while
the line reads the same; scripts/equivalent-mutants.txt lists by id the mutants no test can
tell from the program (one a line: the id, then the reason), and these are left out.

Options:
  -l, --list          print the chosen mutants (number, id, place, operator, the line after);
                      run nothing
  --file PATH         only mutants of this file (repeatable; a folder takes all its files)
  --changed BASE      only mutants of lines changed since the commit BASE (git diff BASE)
  --sample N          a sample of N mutants spread over the files in proportion to their
                      mutants (every file with mutants gets at least one while N allows)
  --seed S            the seed of the sample (default 1): the same seed, the same sample;
                      a sample runs its folders in turn, so a run cut short has met each
  -t SECONDS          time limit of one mutant's run (mutate.sh -t, default 180)
  -j N                tests run at once (mutate.sh -j, default 2)
  -w FOLDER           scratch folder (mutate.sh -w)
  --no-baseline       skip the run of the unchanged suite (mutate.sh --no-baseline)
  --keep FILE         keep the generated mutation list in FILE and the verdicts in
                      FILE.results (default: temporary files)
  --summary FILE[,FILE...]
                      the table and survivors of runs kept with --keep, even ones still
                      running or cut short (mutants not yet run are counted "n/a"); several
                      lists make one table, a later list's verdict of a mutant winning
  --map MAP           run by the test map of scripts/testmap.py instead of scripts/mutate.sh:
                      a scratch build without optimisation (-w, default
                      /tmp/replix-mutants-<user>), and for each mutant only the test rows
                      that run its lines, quickest first; a line no test runs is a survivor
                      once it builds; a line the map does not count gets the units of its
                      file, and a file changed since the map was made gets every unit
  --part K/N          only every Nth of the chosen mutants, from the Kth: N runs at once,
                      each with its own -w folder and --keep file, share a sample
  --resume            with --map and --keep: go on with a run that was stopped, skipping the
                      mutants FILE.done already has a verdict for (by id, which stays
                      while the mutant's line reads the same)
  NUMBER, A-B         only these mutants (numbers as --list shows them, before the sample)

Running: the chosen mutants are written as a mutation list with exact line numbers and handed
to scripts/mutate.sh, which applies each to its scratch copy of the tree, rebuilds once, runs
the likely tests first and the rest only when they pass. A mutant is killed only when a test
fails; one cut off by the time limit is "timed out" and counted apart; one that does not build
is "stillborn" and not counted. At the end: a table per folder (killed, survived, timed out,
stillborn, equivalent left out, score = killed / (killed + survived + timed out)) and every
survivor with its id, place and line. Exit status 0 only when nothing survived or timed out.
"""

import argparse
import hashlib
import os
import random
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
from collections import OrderedDict, defaultdict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ("app", "link", "transfer", "image", "serial", "cli")
EQUIVALENTS = os.path.join(ROOT, "scripts", "equivalent-mutants.txt")

# Macros this system's build defines, and those it does not: code under the others is not
# compiled here, so a mutant of it could never be told apart.
DEFINED = {"Q_OS_UNIX", "Q_OS_LINUX"}
UNDEFINED = {"Q_OS_WIN", "Q_OS_WINDOWS", "_WIN32", "Q_OS_MACOS", "Q_OS_DARWIN", "__APPLE__"}


class Mutant:
    __slots__ = ("path", "first", "last", "col", "op", "before", "after", "number", "ident")

    def __init__(self, path, first, last, col, op, before, after):
        self.path, self.first, self.last, self.col = path, first, last, col
        self.op, self.before, self.after = op, before, after
        digest = hashlib.sha1(f"{path}\0{op}\0{before}\0{after}".encode()).hexdigest()[:10]
        self.ident = f"{path}@{digest}"
        self.number = 0

    def place(self):
        lines = f"{self.first}" if self.first == self.last else f"{self.first}-{self.last}"
        return f"{self.path}:{lines}"


# ---- reading C++: which characters are code ---------------------------------------------------

def mask_source(text):
    """Per character: 'c' code, 's' inside a string or character literal, 'x' comment.
    The quotes of a literal count as code."""
    kinds = []
    i, n = 0, len(text)
    while i < n:
        ch = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            kinds.append("x" * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            kinds.append("".join("\n" if c == "\n" else "x" for c in text[i:j]))
            i = j
        elif ch == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                kinds.append("c"); i += 1; continue
            end = text.find(")" + m.group(1) + '"', i)
            end = n if end < 0 else end + len(m.group(1)) + 2
            kinds.append("c" + "s" * (end - i - 2) + "c")
            i = end
        elif ch in "\"'":
            if ch == "'" and i > 0 and text[i - 1].isalnum() and (i + 1 < n and text[i + 1].isalnum()):
                kinds.append("c"); i += 1; continue   # a digit separator: 1'000
            j = i + 1
            while j < n and text[j] != ch and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j, n - 1)
            kinds.append("c" + "s" * (j - i - 1) + "c")
            i = j + 1
        else:
            kinds.append("\n" if ch == "\n" else "c")
            i += 1
    return "".join(kinds)


def active_lines(lines):
    """Whether each line is compiled on this system, by the #if nesting."""
    stack = []          # per open #if: (parent active, this branch active, a branch taken)
    active = True
    out = []
    for line in lines:
        s = line.strip()
        m = re.match(r"#\s*(ifdef|ifndef|if|elif|else|endif)\b(.*)", s)
        if not m:
            out.append(active)
            continue
        out.append(False)
        word, rest = m.group(1), m.group(2).strip()
        if word in ("ifdef", "ifndef", "if"):
            value = evaluate(word, rest)
            stack.append((active, value, value is not False))
            active = active and value is not False
        elif word == "elif" and stack:
            parent, _, taken = stack[-1]
            value = False if taken else evaluate("if", rest)
            stack[-1] = (parent, value, taken or value is not False)
            active = parent and value is not False
        elif word == "else" and stack:
            parent, value, taken = stack[-1]
            value = None if value is None else not taken
            stack[-1] = (parent, value, True)
            active = parent and value is not False
        elif word == "endif" and stack:
            active = stack.pop()[0]
    return out


def evaluate(word, rest):
    """True, False, or None when unknown (taken as compiled)."""
    name = rest.split()[0] if rest.split() else ""
    if word in ("ifdef", "ifndef"):
        known = True if name in DEFINED else False if name in UNDEFINED else None
        if known is None:
            return None
        return known if word == "ifdef" else not known
    expr = rest
    for macro in DEFINED | UNDEFINED:
        expr = re.sub(r"defined\s*\(?\s*" + macro + r"\s*\)?",
                      "1" if macro in DEFINED else "0", expr)
    expr = expr.replace("&&", " and ").replace("||", " or ").replace("!", " not ")
    if re.fullmatch(r"[\s01()andortn]*", expr):
        try:
            return bool(eval(expr))  # only 0, 1, and, or, not, parentheses
        except Exception:
            return None
    return None


MACRO_LINE = re.compile(r"^\s*(Q_[A-Z_]+|[A-Z][A-Z0-9_]{2,})\s*(\(|$)")
SKIP_WORDS = re.compile(r"\b(Q_OBJECT|Q_PROPERTY|Q_ENUM|Q_DECLARE_\w+|Q_ASSERT\w*|Q_UNUSED|"
                        r"Q_DISABLE_COPY\w*|static_assert|assert|signals|slots|Q_SIGNALS|Q_SLOTS|"
                        r"template|using|namespace|extern|typedef)\b")
STRINGY = re.compile(r'"|\bQString|\bQByteArray|\bQLatin1|\bQChar\b|\btr\(|\.arg\(|\bQStringLiteral|'
                     r"\bu'|'")
STRING_OPERAND = re.compile(r"^(s[A-Z]\w*|\w*(?:[Tt]ext|[Nn]ame|[Pp]ath|[Ll]ine|[Ff]older|"
                            r"[Mm]essage|[Cc]aption|[Tt]itle|[Ss]tem|[Pp]refix|[Ss]uffix|[Ff]ile|"
                            r"Chars|Hex|[Cc]omment|[Mm]odel|[Ll]abel|[Dd]ir|[Ss]tr|[Ll]og|"
                            r"[Nn]ote|[Bb]ytes|[Dd]ata|[Ff]rame))$")
DECLARATION = re.compile(r"^(const\s+)?[\w:<>]+\s*[*&]*\s*\w+\s*(=|\{)")
KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "catch", "delete", "new", "else",
            "do", "case", "default", "throw", "co_return", "alignof", "decltype", "static_cast",
            "const_cast", "reinterpret_cast", "dynamic_cast", "operator", "const", "static",
            "auto", "void", "int", "bool", "struct", "class", "enum", "explicit", "virtual",
            "inline", "constexpr", "public", "private", "protected", "friend", "goto", "break",
            "continue", "emit", "Q_EMIT"}


class Source:
    def __init__(self, path):
        self.path = path
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="surrogateescape") as f:
            self.text = f.read()
        self.lines = self.text.split("\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()
        mask = mask_source(self.text)
        self.masks = []
        pos = 0
        for line in self.lines:
            self.masks.append(mask[pos:pos + len(line)])
            pos += len(line) + 1
        self.active = active_lines(self.lines)

    def code(self, k):
        """Line k (0-based) with string contents replaced by 's' and comments removed."""
        line, mask = self.lines[k], self.masks[k]
        out = []
        for ch, kind in zip(line, mask):
            out.append(ch if kind == "c" else "s" if kind == "s" else " ")
        return "".join(out).rstrip()

    def skipped(self, k):
        line = self.lines[k]
        stripped = line.strip()
        code = self.code(k).strip()
        if not self.active[k] or not code or stripped.startswith("#"):
            return True
        if MACRO_LINE.match(code) or SKIP_WORDS.search(code):
            return True
        if re.search(r"(\.|->)(reserve|squeeze|shrink_to_fit)\(", code):
            return True   # a capacity hint: no change of it shows

        return False


def matching(code_lines, k, col, open_ch="(", close_ch=")"):
    """The line and column of the bracket that closes the one at (k, col), or None."""
    depth = 0
    for kk in range(k, min(k + 12, len(code_lines))):
        text = code_lines[kk]
        start = col if kk == k else 0
        for c in range(start, len(text)):
            if text[c] == open_ch:
                depth += 1
            elif text[c] == close_ch:
                depth -= 1
                if depth == 0:
                    return kk, c
    return None


# ---- the operators ----------------------------------------------------------------------------

def generate(path):
    src = Source(path)
    code = [src.code(k) for k in range(len(src.lines))]
    out = []

    def add(first, last, col, op, after_text):
        before = src.lines[first].strip()
        after_text = after_text.strip()
        if after_text == joined(first, last).strip():
            return
        out.append(Mutant(path, first + 1, last + 1, col, op, before, after_text))

    def joined(first, last):
        """Lines first..last as one line, comments dropped, for a replacement of the span."""
        parts = []
        for k in range(first, last + 1):
            line, mask = src.lines[k], src.masks[k]
            text = "".join(ch for ch, kind in zip(line, mask) if kind != "x").strip()
            if text:
                parts.append(text)
        return " ".join(parts)

    def line_replace(k, start, end, new):
        line = src.lines[k]
        return line[:start] + new + line[end:]

    # State for statement deletion: brace openers and the end of the previous code line.
    openers = []            # per open brace: the code before it on its line
    prev_end = ";"
    prev_code = ""
    header_pending = False  # the previous code line was a braceless if/else/for/while header
    header_depth = 0
    in_header = False       # inside a multi-line if/for/while condition
    k = 0
    while k < len(src.lines):
        text = code[k]
        stripped = text.strip()
        skip = src.skipped(k)
        braceless_body = header_pending
        at_boundary = prev_end in (";", "{", "}", ":") or header_pending

        if not skip:
            mutate_line(src, k, text, add, line_replace, joined, code, openers,
                        at_boundary and not in_header, braceless_body)

        # update the state after this line
        if stripped:
            if in_header:
                header_depth += stripped.count("(") - stripped.count(")")
                if header_depth <= 0:
                    in_header = False
                    header_pending = not stripped.endswith("{") and not stripped.endswith(";")
            elif re.match(r"^(\}\s*)?(else\s+)?(if|for|while)\s*\(", stripped) or \
                    re.match(r"^(\}\s*)?else$", stripped):
                depth = stripped.count("(") - stripped.count(")")
                if depth > 0:
                    in_header, header_depth = True, depth
                    header_pending = False
                else:
                    header_pending = not stripped.endswith("{") and not stripped.endswith(";")
            else:
                header_pending = False
            for c, ch in enumerate(text):
                if ch == "{":
                    # a brace alone on its line (a function's) belongs to the line before
                    openers.append(text[:c].strip() or prev_code)
                elif ch == "}" and openers:
                    openers.pop()
            prev_end = stripped[-1]
            prev_code = stripped
        k += 1
    return out


def in_lambda_or_class(openers):
    for opener in reversed(openers):
        if re.search(r"\]\s*(\([^)]*\))?\s*(mutable\s*)?(->\s*[\w:<>, *&]+)?\s*$", opener):
            return "lambda-deduced" if "->" not in opener else "lambda"
        if re.search(r"\b(if|else|for|while|switch|do|case|try)\b", opener) or opener == "":
            continue
        return "function" if ")" in opener else "other"
    return "other"


def in_branch(openers, braceless_body):
    if braceless_body:
        return True
    if not openers:
        return False
    return bool(re.search(r"\b(if|else|for|while|case)\b|:$", openers[-1]))


def statement_end(code, k, start):
    """The line of the ; that ends the statement starting at (k, start), or None."""
    depth = 0
    for kk in range(k, min(k + 15, len(code))):
        text = code[kk]
        for c in range((start if kk == k else 0), len(text)):
            ch = text[c]
            if ch in "({[":
                depth += 1
            elif ch in ")}]":
                depth -= 1
                if depth < 0:
                    return None
            elif ch == ";" and depth == 0:
                return kk, c
    return None


def mutate_line(src, k, text, add, line_replace, joined, code, openers, at_boundary, braceless):
    line = src.lines[k]
    indent = len(line) - len(line.lstrip())
    context = in_lambda_or_class(openers)
    in_body = context in ("function", "lambda", "lambda-deduced")

    # ror: relational operators with a space either side (template brackets have none)
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", text):
        op = m.group(1)
        before_tok = text[:m.start()].rstrip()
        if before_tok.endswith("template") or before_tok.endswith("operator"):
            continue
        swap = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}[op]
        add(k, k, m.start(), "ror", line_replace(k, m.start(), m.end(), swap))

    # lcr: && and || between conditions
    for m in re.finditer(r"(?:(?<=\s)|^)(&&|\|\|)(?=\s)", text):
        add(k, k, m.start(), "lcr", line_replace(k, m.start(), m.end(),
                                                 "||" if m.group(1) == "&&" else "&&"))

    # neg: the condition of an if or a while
    for m in re.finditer(r"\b(if|while)\s*\(", text):
        if re.search(r"\bconstexpr\s*$", text[:m.end() - 1]) or re.match(r"\s*constexpr", text[m.end():]):
            continue
        if m.group(1) == "while" and text.strip().startswith("}") and text.strip().endswith(";"):
            pass
        open_col = m.end() - 1
        end = matching(code, k, open_col)
        if not end:
            continue
        ek, ec = end
        # the condition: after an init statement's ; when there is one
        cond_start = open_col + 1
        if ek == k:
            inner = text[cond_start:ec]
            depth = 0
            for c, ch in enumerate(inner):
                if ch in "([{":
                    depth += 1
                elif ch in ")]}":
                    depth -= 1
                elif ch == ";" and depth == 0:
                    cond_start = open_col + 1 + c + 1
            cond = line[cond_start:ec].strip()
            if not cond or DECLARATION.match(cond):
                continue
            lead = line[open_col + 1:cond_start]
            if lead and not lead.endswith(" "):
                lead += " "
            new = line[:open_col + 1] + lead + "!(" + cond + ")" + line[ec:]
            add(k, k, m.start(), "neg", new)
        else:
            if ";" in "".join(code[kk] for kk in range(k, ek + 1)).replace("for (", ""):
                continue
            whole = joined(k, ek)
            mm = re.search(r"\b(if|while)\s*\(", whole)
            if not mm:
                continue
            stop = matching([whole], 0, mm.end() - 1)
            if not stop:
                continue
            cond = whole[mm.end():stop[1]].strip()
            if DECLARATION.match(cond):
                continue
            new = whole[:mm.end()] + "!(" + cond + ")" + whole[stop[1]:]
            add(k, ek, m.start(), "neg", new)

    # const: numbers, true and false
    is_pure = re.search(r"\)\s*(const\s*)?(override\s*)?=\s*0\s*;", text)
    for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlL]*)(?![\w.'])", text):
        if is_pure and m.group(1) == "0":
            continue
        before_c = text[:m.start()].rstrip()[-1:]
        after_c = text[m.end():].lstrip()[:1]
        if before_c == "<" and after_c in (">", ","):
            continue
        if re.search(r"\bcase\s*$", text[:m.start()]) or before_c == "[" and "]" in after_c and "{" in text:
            continue
        digits = m.group(1).replace("'", "")
        value = int(digits, 16) if digits.lower().startswith("0x") else int(digits, 8) \
            if len(digits) > 1 and digits.startswith("0") else int(digits)
        news = [1] if value == 0 else [0] if value == 1 else [value + 1, value - 1]
        for new_value in news:
            if digits.lower().startswith("0x"):
                width = len(digits) - 2
                new_text = "0x%0*X" % (width, new_value)
            else:
                new_text = str(new_value)
            add(k, k, m.start(), "const", line_replace(k, m.start(), m.start() + len(m.group(1)), new_text))
    for m in re.finditer(r"\b(true|false)\b", text):
        add(k, k, m.start(), "const", line_replace(k, m.start(), m.end(),
                                                   "false" if m.group(1) == "true" else "true"))

    # aor: + and - between numbers (not between texts, which would not build)
    stringy = STRINGY.search(line[:])
    if not stringy:
        for m in re.finditer(r"(?:(?<=\s)|^)(\+=|-=|\+|-)(?=\s)", text):
            left = re.search(r"([\w.>\-\]\)]+)\s*$", text[:m.start()])
            right = re.match(r"\s*([\w]+)", text[m.end():])
            names = [re.split(r"\.|->", left.group(1))[-1] if left else "",
                     right.group(1) if right else ""]
            if any(STRING_OPERAND.match(n) for n in names if n):
                continue
            swap = {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[m.group(1)]
            add(k, k, m.start(), "aor", line_replace(k, m.start(), m.end(), swap))

    stripped = text.strip()
    # del and ret: statements that start on this line
    if in_body and at_boundary:
        body = stripped
        offset = 0
        cm = re.match(r"^(case\s[^:]*:|default:)\s*", body)
        if cm and not body.startswith("case") or cm is None:
            pass
        if cm:
            offset = cm.end()
            body = body[offset:]
        start_col = indent + offset
        is_call = re.match(r"^(emit\s+|Q_EMIT\s+)?(::)?[A-Za-z_]\w*(::\w+)*(\s*(\.|->)\s*\w+)*\s*(<[^;()]*>)?\s*\(",
                           body)
        if is_call:
            first_word = re.match(r"^(?:emit\s+|Q_EMIT\s+)?:*(\w+)", body).group(1)
            if first_word in KEYWORDS - {"emit", "Q_EMIT"}:
                is_call = None
        is_assign = re.match(r"^[\w.\->\[\]*:()]+\s*(=|\+=|-=|\|=|&=|\^=|<<=|>>=)\s", body) and \
            not re.match(r"^(\w+)\s*\(", body) or re.match(r"^(\+\+|--)?[\w.\->\[\]]+(\+\+|--)?;$", body) \
            and ("++" in body or "--" in body)
        is_return = re.match(r"^return\b", body)
        if (is_call or is_assign or (is_return and in_branch(openers, braceless))) and body:
            end = statement_end(code, k, start_col)
            if end:
                ek, ec = end
                rest_after = code[ek][ec + 1:].strip()
                if not rest_after or rest_after.startswith("//"):
                    if ek == k:
                        new = line[:start_col] + ";"
                    else:
                        new = line[:start_col].strip() + (" " if offset else "") + ";"
                    add(k, ek, start_col, "del", new if ek == k else new)
        if is_return and context != "lambda-deduced":
            end = statement_end(code, k, start_col)
            m = re.match(r"^return\s+(.+);$", body) if end and end[0] == k else None
            value = m.group(1).strip() if m else ""
            if value and value not in ("{}", "true", "false", "nullptr", "*this", "QString()",
                                       "QByteArray()") \
                    and not re.fullmatch(r"-?\d+[uUlL]*|0[xX][0-9a-fA-F]+", value) \
                    and not re.match(r"^(std::move\()?\*?this\b", value):
                new = line[:start_col] + "return {};"
                add(k, k, start_col, "ret", new)

    # str: user-facing texts (a letter, a space or end punctuation, four characters at least)
    mask = src.masks[k]
    for m in re.finditer(r"s+", "".join("s" if kind == "s" else "." for kind in mask)):
        content = line[m.start():m.end()]
        if len(content) < 4 or not re.search(r"[A-Za-z]", content):
            continue
        if not (" " in content or content.rstrip().endswith((".", "!", "?", ":"))):
            continue
        if "\\" in content and not re.search(r"[A-Za-z]{3}", content.replace("\\n", "").replace("\\r", "")):
            continue
        prefix = line[:m.start()]
        if re.search(r"(qEnvironmentVariable|getenv|setObjectName|property|QRegularExpression)\s*\(\s*\w*\"?$",
                     prefix):
            continue
        lm = re.search(r"[A-Za-z]", content)
        c = lm.start()
        new_content = content[:c] + content[c].swapcase() + content[c + 1:]
        add(k, k, m.start(), "str", line[:m.start()] + new_content + line[m.end():])


# ---- choosing ---------------------------------------------------------------------------------

def program_files():
    listed = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                             "--", *FOLDERS], cwd=ROOT, capture_output=True, text=True,
                            check=True).stdout.split("\n")
    return sorted(f for f in listed
                  if f.endswith((".cpp", ".h")) and os.path.isfile(os.path.join(ROOT, f)))


def all_mutants(files):
    mutants = []
    for path in files:
        found = generate(path)
        found.sort(key=lambda m: (m.first, m.col, m.op, m.after))
        seen = set()
        occurrences = defaultdict(int)
        for m in found:
            key = (m.first, m.last, m.after)
            if key in seen:
                continue
            seen.add(key)
            # the same change of the same line text elsewhere in the file: a second id
            occurrences[m.ident] += 1
            if occurrences[m.ident] > 1:
                m.ident += f"-{occurrences[m.ident]}"
            mutants.append(m)
    for number, m in enumerate(mutants, 1):
        m.number = number
    return mutants


def changed_lines(base):
    diff = subprocess.run(["git", "diff", "-U0", base, "--", *FOLDERS], cwd=ROOT,
                          capture_output=True, text=True)
    if diff.returncode != 0:
        sys.exit(f"mutants.py: git diff {base} failed: {diff.stderr.strip()}")
    lines, path = defaultdict(set), None
    for row in diff.stdout.split("\n"):
        if row.startswith("+++ "):
            path = row[6:] if row.startswith("+++ b/") else None
        elif row.startswith("@@") and path:
            m = re.search(r"\+(\d+)(?:,(\d+))?", row)
            start, count = int(m.group(1)), int(m.group(2) or 1)
            lines[path].update(range(start, start + count))
    return lines


def read_equivalents():
    known = OrderedDict()
    if os.path.exists(EQUIVALENTS):
        for row in open(EQUIVALENTS, encoding="utf-8"):
            row = row.strip()
            if not row or row.startswith("#"):
                continue
            ident, _, reason = row.partition(" ")
            if not reason.strip():
                sys.exit(f"mutants.py: {EQUIVALENTS}: {ident} gives no reason")
            known[ident] = reason.strip()
    return known


def sample(mutants, n, seed):
    if n >= len(mutants):
        return list(mutants)
    by_file = OrderedDict()
    for m in mutants:
        by_file.setdefault(m.path, []).append(m)
    total = len(mutants)
    quota = {}
    # every file at least one while n allows, the rest in proportion (largest remainder)
    files = list(by_file)
    base = {f: 1 if n >= len(files) else 0 for f in files}
    left = n - sum(base.values())
    shares = {f: left * (len(by_file[f]) - base[f]) / max(1, total - sum(base.values()))
              for f in files}
    for f in files:
        quota[f] = base[f] + int(shares[f])
    remainder = n - sum(quota.values())
    for f in sorted(files, key=lambda f: (-(shares[f] - int(shares[f])), f))[:remainder]:
        quota[f] += 1
    # Each file draws with a generator of its own (seeded by the seed and its path), so that a
    # change of one file's mutants changes no other file's picks.
    chosen = []
    for f in files:
        rng = random.Random(f"{seed}:{f}")
        chosen.extend(rng.sample(by_file[f], min(quota[f], len(by_file[f]))))
    return sorted(chosen, key=lambda m: m.number)


def interleaved(mutants):
    """The mutants in turn from each folder, so that a run cut short has met every folder."""
    queues = OrderedDict()
    for m in mutants:
        queues.setdefault(folder_of(m.path), []).append(m)
    order = []
    while any(queues.values()):
        for queue in queues.values():
            if queue:
                order.append(queue.pop(0))
    return order


def folder_of(path):
    return path.split("/", 1)[0]


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)   # a listing piped into head ends quietly
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("-h", "--help", action="store_true")
    parser.add_argument("-l", "--list", action="store_true")
    parser.add_argument("--file", action="append", default=[])
    parser.add_argument("--changed")
    parser.add_argument("--sample", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-t", dest="limit")
    parser.add_argument("-j", dest="jobs")
    parser.add_argument("-w", dest="work")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--keep")
    parser.add_argument("--summary")
    parser.add_argument("--map")
    parser.add_argument("--part")
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("numbers", nargs="*")
    args = parser.parse_args()
    if args.help:
        print(__doc__.strip())
        return 0

    if args.summary:   # the table of runs kept with --keep, finished or not
        return summarise(args.summary.split(","))

    files = program_files()
    if args.file:
        wanted = [os.path.relpath(os.path.abspath(f), ROOT) for f in args.file]
        files = [f for f in files if any(f == w or f.startswith(w.rstrip("/") + "/") for w in wanted)]
        if not files:
            sys.exit("mutants.py: no program file matches " + " ".join(args.file))
    mutants = all_mutants(program_files())
    mutants = [m for m in mutants if m.path in files]
    if args.changed:
        changed = changed_lines(args.changed)
        mutants = [m for m in mutants
                   if any(line in changed.get(m.path, ()) for line in range(m.first, m.last + 1))]
    if args.numbers:
        picked = set()
        for s in args.numbers:
            a, _, b = s.partition("-")
            picked.update(range(int(a), int(b or a) + 1))
        mutants = [m for m in mutants if m.number in picked]

    equivalents = read_equivalents()
    if not (args.file or args.changed or args.numbers):
        idents = {m.ident for m in mutants}
        for ident in equivalents:
            if ident not in idents:
                print(f"note: {ident} of {os.path.basename(EQUIVALENTS)} matches no mutant: "
                      "its line changed; look at it again", file=sys.stderr)
    population = len(mutants)   # the equivalent share is of these
    if args.sample is not None:
        # Drawn from all mutants, equivalent ones too: a sample stays the same mutants when
        # more are found equivalent later (those are then left out of it).
        mutants = sample(mutants, args.sample, args.seed)
        if not args.list:
            mutants = interleaved(mutants)
    equivalent = [m for m in mutants if m.ident in equivalents]
    mutants = [m for m in mutants if m.ident not in equivalents]
    if args.part:
        k, _, n = args.part.partition("/")
        mutants = [m for i, m in enumerate(mutants) if i % int(n) == int(k) - 1]

    if args.list:
        for m in mutants:
            print(f"{m.number:5d}  {m.ident}  {m.place()}  {m.op:5s}  {m.after}")
        per = defaultdict(int)
        for m in mutants:
            per[folder_of(m.path)] += 1
        print(f"{len(mutants)} mutants (" + ", ".join(f"{f} {per[f]}" for f in FOLDERS if per[f])
              + f"); {len(equivalent)} listed as equivalent left out"
              + (f" ({100.0 * len(equivalent) / population:.1f}% of {population})"
                 if equivalent else ""))
        return 0

    if not mutants:
        print("no mutants chosen")
        return 0
    if args.map:
        return run_mapped(mutants, equivalent, args, population)
    return run(mutants, equivalent, args, population)


def run(mutants, equivalent, args, population):
    keep = args.keep
    handle = open(keep, "w") if keep else tempfile.NamedTemporaryFile(
        "w", prefix="replix-mutants-", suffix=".txt", delete=False)
    with handle as f:
        f.write("# generated by scripts/mutants.py\n")
        for m in mutants:
            lines = f"{m.first}" if m.first == m.last else f"{m.first}-{m.last}"
            f.write(f"\nfile:  {m.path}\nline:  {lines}\nfind:  {m.before}\ninto:  {m.after}\n"
                    f"fault: #{m.number} {m.op} {m.ident}\n")
        list_path = f.name
    results = list_path + ".results"
    command = [os.path.join(ROOT, "scripts", "mutate.sh"), "-m", list_path, "-r", results]
    for flag, value in (("-t", args.limit), ("-j", args.jobs), ("-w", args.work)):
        if value:
            command += [flag, value]
    if args.no_baseline:
        command.append("--no-baseline")
    started = time.time()
    print(f"{len(mutants)} mutants through scripts/mutate.sh (list: {list_path})", flush=True)
    status = subprocess.run(command, cwd=ROOT).returncode
    took = time.time() - started
    if status == 2 or not os.path.exists(results):
        sys.exit("mutants.py: scripts/mutate.sh could not start the run")
    outcome = report(mutants, equivalent, results, took, population)
    if not keep:
        os.unlink(list_path)
        os.unlink(results)
    return outcome


# ---- running by the test map ------------------------------------------------------------------

def load_map(path):
    import json
    with open(path, encoding="utf-8") as f:
        testmap = json.load(f)
    return testmap


def file_digest(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def units_for(m, testmap):
    """The units of the map that run the mutant's lines, quickest first; None: the whole
    suite (a line the map does not count, or a file changed since the map was made)."""
    lines = testmap["lines"].get(m.path)
    # A header's constants are set up at the start of every program that includes it, which
    # gcc counts in only one of the objects: a header's mutant may change any test.
    if lines is None or m.path.endswith(".h") or testmap["files"].get(m.path) != file_digest(m.path):
        return None
    chosen = set()
    for line in range(m.first, m.last + 1):
        # A line the compiler does not count (an entry of a constant table, a declaration) is
        # read only through lines of its file that it does count: the units of the whole file.
        runs = lines.get(str(line))
        if runs is None:
            runs = {u for units in lines.values() for u in units}
        elif not runs:
            runs = continued_from(m.path, line, lines)
        chosen.update(u for u in runs if testmap["units"][u]["passed"])
    return sorted(chosen, key=lambda u: (testmap["units"][u]["seconds"], u))


def continued_from(path, line, lines):
    """The units of the statement a line continues: gcc counts the later lines of a braced
    table (a list of pairs over several lines) as never run while its first line runs."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        text = f.read().split("\n")
    k = line - 1
    while k >= 1 and text[k - 1].rstrip().endswith((",", "(", "{", "=")):
        if lines.get(str(k)):
            return lines[str(k)]
        k -= 1
    return []


def sync_scratch(src):
    """The scratch copy of the tree: tracked and untracked files, .gitignore respected."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, (n.decode() for n in listed)):
        source, target = os.path.join(ROOT, name), os.path.join(src, name)
        if not os.path.isfile(source):
            continue
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(data)
        os.chmod(target, os.stat(source).st_mode & 0o777)


def batches(chosen, testmap):
    """The units in runs of one program each: the programs in the order of their quickest unit,
    each program's units in runs of 1, 4, 16, ... A mutant is mostly caught by one of the first
    units; a survivor then costs a few starts of each program rather than one a unit. A test
    that is not a QtTest row or function (the shell test, a test naming its own) runs alone."""
    groups = OrderedDict()
    for u in chosen:
        unit = testmap["units"][u]
        alone = unit["unit"] is None or len(unit["command"]) != 2
        groups.setdefault(("alone", u) if alone else (unit["test"], unit["command"][0]),
                          []).append(u)
    for units in groups.values():
        size, i = 1, 0
        while i < len(units):
            yield units[i:i + size]
            i += size
            size *= 4


def run_units(units, build, src, deadline):
    """Runs units of one program at once in the scratch build: ('caught', the failing unit),
    ('timed-out', the units) or None (all passed)."""
    first = units[0]

    def moved(word):   # the map's paths point into the map's own build and tree
        for old, new in ((first["build"], build), (first["root"], src)):
            if word.startswith(old):
                return new + word[len(old):]
        return word
    command = [moved(w) for w in first["command"]] + [u["command"][1] for u in units[1:]]
    named = first["test"] + (" " + first["unit"] if first["unit"] else "")
    # A unit that takes ten times its unchanged time, and 100 seconds more, hangs (a failing
    # check that waits for its condition takes three times its wait, as Qt waits again to tell
    # whether more time would have helped: 90 s for the 30 s a test gives a transfer to end;
    # the map's times are of a slower build with counters).
    left = min(deadline - time.monotonic(), 100 + 10 * sum(u["seconds"] for u in units))
    if left <= 0:
        return "timed-out", named
    # The test's own children (replix-cli, the virtual radio) go with it: a mutant that hangs
    # one of them would otherwise leave it spinning after the run. The run ends at its first
    # failed check, as mutate.sh's does: the rows after it (each failing check that waits for
    # its condition takes its seconds) would otherwise run into the time limit, and a test
    # that failed was counted as timed out.
    with subprocess.Popen(command, env=dict(os.environ, **first["env"]), cwd=moved(first["cwd"]),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          start_new_session=True) as child:
        output, ended = b"", time.monotonic() + left
        try:
            while not re.search(rb"^FAIL! ", output, re.M):
                ready = select.select([child.stdout], [], [], max(0.0, ended - time.monotonic()))
                chunk = os.read(child.stdout.fileno(), 65536) if ready[0] else None
                if not chunk:
                    break
                output += chunk
            if chunk == b"":  # the output ended: the test is ending, let it say how
                child.wait(timeout=max(1.0, ended - time.monotonic()))
        except subprocess.TimeoutExpired:
            chunk = None
        finally:
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            child.wait()
        failed = re.search(rb"^FAIL! +: \w+::(\w+)\((.*)\)", output, re.M)
        if chunk is None and not failed:
            return "timed-out", named + (f" and {len(units) - 1} more" if len(units) > 1 else "")
        done = subprocess.CompletedProcess(command, 1 if failed else child.returncode, output)
    if done.returncode == 0:
        return None
    if failed and len(units) > 1:
        row = failed.group(2).decode(errors="replace")
        named = first["test"] + " " + failed.group(1).decode() + (":" + row if row else "")
    return "caught", named


# The programs a test runs besides its own (the command line's tests run the tool and the
# virtual radio as the user would).
TARGETS_OF = {"cli": ["test_cli", "replix-cli", "replix-virtual-radio"],
              "cli-shell": ["replix-cli", "replix-virtual-radio"],
              "window-x11": ["replix", "replix-virtual-radio", "replix-cli"],
              "remotecable": ["test_remotecable", "replix-cli"]}


def build_targets(build, targets):
    if not targets:
        return subprocess.run(["cmake", "--build", build], capture_output=True).returncode == 0
    return subprocess.run(["cmake", "--build", build, "--target", *targets],
                          capture_output=True).returncode == 0


def run_mapped(mutants, equivalent, args, population):
    testmap = load_map(args.map)
    for unit in testmap["units"]:
        unit["root"], unit["build"] = testmap["root"], testmap["build"]
    work = args.work or f"/tmp/replix-mutants-{os.getuid()}"
    src, build = os.path.join(work, "src"), os.path.join(work, "build")
    os.makedirs(src, exist_ok=True)
    sync_scratch(src)
    configure = ["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 "-DCMAKE_CXX_FLAGS=-O0 -g0", "-DREPLIX_PRECOMPILED_HEADERS=ON"]
    if subprocess.run(["which", "ccache"], capture_output=True).returncode == 0:
        configure.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    if subprocess.run(["which", "ld.lld"], capture_output=True).returncode == 0:
        configure.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld")
    for step in (configure, ["cmake", "--build", build]):
        if subprocess.run(step, capture_output=True).returncode != 0:
            sys.exit(f"mutants.py: the unchanged scratch tree does not build ({' '.join(step[:3])})")
    # The remote cable's tests need the peers (ser2net, sredird) that scripts/setup.sh fetches
    # into the main build; without them those tests skip, and what only they run looks
    # untested.
    peers = os.path.join(ROOT, "build", "peers")
    if os.path.isdir(peers) and not os.path.exists(os.path.join(build, "peers")):
        os.symlink(peers, os.path.join(build, "peers"))
    objects = {}
    listed = subprocess.run(["ninja", "-C", build, "-t", "targets", "all"], capture_output=True,
                            text=True).stdout
    for row in listed.split("\n"):
        found = re.match(r"(CMakeFiles/replix\w+\.dir/(.+\.cpp)\.o):", row)
        if found:
            objects[found.group(2)] = found.group(1)
    limit = float(args.limit or 180)
    keep = args.keep or os.path.join(work, "mutants.txt")
    with open(keep, "w") as f:   # the list, so that --summary can read a run still going
        # (with --resume the same list again: the same arguments give the same mutants)
        f.write("# generated by scripts/mutants.py --map\n")
        for m in mutants:
            lines = f"{m.first}" if m.first == m.last else f"{m.first}-{m.last}"
            f.write(f"\nfile:  {m.path}\nline:  {lines}\nfind:  {m.before}\ninto:  {m.after}\n"
                    f"fault: #{m.number} {m.op} {m.ident}\n")
    results = keep + ".results"
    # Each verdict also goes to FILE.done by the mutant's id, which stays while its line reads
    # the same: a resumed run skips those and rebuilds its results from them, even after other
    # lines changed and the numbers moved.
    done_file = keep + ".done"
    verdict_of = {}
    if args.resume and os.path.exists(done_file):
        for row in open(done_file):
            parts = row.rstrip("\n").split("\t")
            if len(parts) >= 3:
                verdict_of[parts[0]] = parts[1:]
    elif not args.resume:
        open(done_file, "w").close()
    with open(results, "w") as f:
        for index, m in enumerate(mutants, 1):
            if m.ident in verdict_of:
                verdict, by, took = verdict_of[m.ident]
                f.write(f"{index}\t{verdict}\t{by}\t\t{took}\n")
    started = time.time()
    print(f"{len(mutants)} mutants by the test map {args.map} (list: {keep})", flush=True)
    # The folders in turn, so that a run cut short has met each; within a folder a few
    # mutants of one file after one another, so that a file is mostly rebuilt once per mutant.
    by_folder = OrderedDict()
    for i in sorted(range(len(mutants)), key=lambda i: (mutants[i].path, mutants[i].first)):
        by_folder.setdefault(folder_of(mutants[i].path), []).append(i)
    order = []
    while any(by_folder.values()):
        for queue in by_folder.values():
            order += queue[:4]
            del queue[:4]
    for index in order:
        if mutants[index].ident in verdict_of:
            continue
        m = mutants[index]
        path = os.path.join(src, m.path)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        text = original.split("\n")
        indent = re.match(r"\s*", text[m.first - 1]).group(0)
        text[m.first - 1:m.last] = [indent + m.after]
        t0 = time.monotonic()
        units = units_for(m, testmap)
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(text))
            chosen = (sorted((u for u, unit in enumerate(testmap["units"]) if unit["passed"]),
                             key=lambda u: (testmap["units"][u]["seconds"], u))
                      if units is None else units)
            # Only what the next test needs is built: its program and the programs it runs;
            # with no test to run, the mutated file alone (a survivor must still build).
            verdict, by, done = "survived", "", set()
            if not chosen:
                target = objects.get(m.path)
                if not build_targets(build, [target] if target else []):
                    verdict = "stillborn"
            deadline = time.monotonic() + limit
            for batch in batches(chosen, testmap):
                unit = testmap["units"][batch[0]]
                needs = TARGETS_OF.get(unit["test"], [os.path.basename(unit["command"][0])])
                if not done.issuperset(needs):
                    if not build_targets(build, needs):
                        verdict, by = "stillborn", ""
                        break
                    done.update(needs)
                outcome = run_units([testmap["units"][u] for u in batch], build, src, deadline)
                if outcome:
                    verdict, by = outcome
                    break
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        took = time.monotonic() - t0
        note = "" if units is None else f" ({len(units)} units run the line)" if units else " (no test runs the line)"
        print(f"{index + 1:4d} {m.path:28s} #{m.number} {m.op} {m.ident}: {verdict}"
              f"{' by ' + by if by else ''}{note} [{took:.0f}s]", flush=True)
        with open(results, "a") as f:
            f.write(f"{index + 1}\t{verdict}\t{by}\t\t{took:.0f}\n")
        with open(done_file, "a") as f:
            f.write(f"{m.ident}\t{verdict}\t{by}\t{took:.0f}\n")
    subprocess.run(["cmake", "--build", build], capture_output=True)
    return report(mutants, equivalent, results, time.time() - started, population)


def summarise(lists):
    """One table of several kept runs (the parts of a sample, or a run and its re-run): a
    mutant's verdict is that of the last run that reached it (by id: runs of trees whose
    numbers moved still meet)."""
    verdicts, order = {}, {}
    for list_path in lists:
        mutants = read_list(list_path)
        if os.path.exists(list_path + ".results"):
            for row in open(list_path + ".results"):
                parts = row.rstrip("\n").split("\t")
                if len(parts) >= 2 and parts[1] != "not run":
                    m = mutants[int(parts[0]) - 1]
                    verdicts[m.ident] = parts
                    order[m.ident] = m
        for m in mutants:
            order.setdefault(m.ident, m)
    merged = sorted(order.values(), key=lambda m: m.number)
    # A mutant listed as equivalent since the run counts as such, whatever its verdict.
    listed = read_equivalents()
    equivalent = [m for m in merged if m.ident in listed]
    merged = [m for m in merged if m.ident not in listed]
    with tempfile.NamedTemporaryFile("w", suffix=".results", delete=False) as f:
        for index, m in enumerate(merged, 1):
            if m.ident in verdicts:
                f.write("\t".join([str(index)] + verdicts[m.ident][1:]) + "\n")
        combined = f.name
    try:
        return report(merged, equivalent, combined, None)
    finally:
        os.unlink(combined)


def read_list(list_path):
    """The mutants of a list written by run(), for --summary."""
    mutants, block = [], {}
    for row in open(list_path, encoding="utf-8"):
        row = row.rstrip("\n")
        if row.startswith("#"):
            continue
        if not row.strip():
            block = {}
            continue
        key, _, value = row.partition(":")
        block[key] = value.strip()
        if key == "fault":
            number, op, ident = value.split()
            first, _, last = block["line"].partition("-")
            m = Mutant(block["file"], int(first), int(last or first), 0, op, block["find"],
                       block["into"])
            m.number, m.ident = int(number.lstrip("#")), ident
            mutants.append(m)
    return mutants


def report(mutants, equivalent, results, took, population=None):
    verdicts = {}
    if os.path.exists(results):
        for row in open(results):
            parts = row.rstrip("\n").split("\t")
            if len(parts) >= 2:
                verdicts[int(parts[0])] = parts
    counts = defaultdict(lambda: defaultdict(int))
    survivors, timeouts = [], []
    for index, m in enumerate(mutants, 1):
        verdict = verdicts.get(index, ["", "not run"])[1]
        counts[folder_of(m.path)][verdict] += 1
        if verdict == "survived":
            survivors.append(m)
        elif verdict == "timed-out":
            timeouts.append(m)
    for m in equivalent:
        counts[folder_of(m.path)]["equivalent"] += 1
    print()
    print(f"{'folder':10s} {'killed':>7s} {'survived':>9s} {'timed out':>10s} {'stillborn':>10s} "
          f"{'n/a':>4s} {'equivalent':>11s} {'score':>7s}")
    total = defaultdict(int)
    for folder in FOLDERS + ("all",):
        c = total if folder == "all" else counts.get(folder)
        if not c:
            continue
        if folder != "all":
            for key, value in c.items():
                total[key] += value
        scored = c["caught"] + c["survived"] + c["timed-out"]
        score = f"{100.0 * c['caught'] / scored:.1f}%" if scored else "-"
        print(f"{folder:10s} {c['caught']:7d} {c['survived']:9d} {c['timed-out']:10d} "
              f"{c['stillborn']:10d} {c['n/a'] + c['not run']:4d} {c['equivalent']:11d} {score:>7s}")
    population = population or len(equivalent) + len(mutants)
    share = len(equivalent) / max(1, population)
    print(f"equivalent (listed, left out): {len(equivalent)} = {100.0 * share:.1f}% of {population}"
          + (f"; {took / 60:.1f} minutes" if took is not None else ""))
    for title, group in (("survived", survivors), ("timed out", timeouts)):
        if group:
            print(f"\n{title}:")
            for m in group:
                print(f"  #{m.number} {m.ident} {m.place()} {m.op}\n      {m.before}\n    ->{m.after}")
    return 0 if not survivors and not timeouts else 1


if __name__ == "__main__":
    sys.exit(main())
