#!/usr/bin/env python3
"""Compares the rows the report server stored with the lines the soak wrote.

    check.py RUN_DIR [--database FILE] [--drop-row N] [--double-row N] [--json FILE] [--list]

RUN_DIR holds events.jsonl, reports.sqlite3 and patterns/ from soak.py.
--drop-row N / --double-row N work on a copy of the database: the N-th
stored present row is deleted / stored twice, to see the checker count it.
Exit code 0 when nothing was lost, doubled, out of order or in the wrong
language, else 1.
"""

import argparse
import json
import os
import re
import shutil
import sqlite3
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lines as soaklines  # noqa: E402

EDGE_S = 0.5       # lines written this close before Tidemark or the game went away may be unread
AFTER_S = 15.0     # a loss is blamed on a fault that began this soon after the line
PASSED_OVER = re.compile(r"(\d+) lines of the game's log were passed over")
COLUMNS = ["lines", "lost", "as-history", "doubled", "out-of-order", "wrong-language", "expected-missing"]


def load_events(path):
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def load_rows(database, drop_row, double_row):
    path = database
    tmp = None
    if drop_row is not None or double_row is not None:
        tmp = tempfile.mkdtemp()
        path = os.path.join(tmp, "copy.sqlite3")
        shutil.copy(database, path)
        db = sqlite3.connect(path)
        # The server's triggers call its own SQL functions, unknown here.
        for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type = 'trigger'").fetchall():
            db.execute("DROP TRIGGER \"%s\"" % name)
        ids = [r[0] for r in db.execute("SELECT id FROM reports WHERE present = 1 ORDER BY id")]
        if drop_row is not None:
            db.execute("DELETE FROM reports WHERE id = ?", (ids[drop_row],))
        if double_row is not None:
            cols = [r[1] for r in db.execute("PRAGMA table_info(reports)") if r[1] not in ("id", "report_id")]
            db.execute("INSERT INTO reports (%s) SELECT %s FROM reports WHERE id = ?" % (
                ",".join(cols), ",".join(cols)), (ids[double_row],))
        db.commit()
        db.close()
    db = sqlite3.connect(path)
    rows = [{"id": r[0], "lang": r[1], "pid": r[2], "code": r[3], "log": bytes(r[4]), "present": int(r[5])}
            for r in db.execute("SELECT id, lang, pid, code, log, present FROM reports ORDER BY id")]
    db.close()
    if tmp:
        shutil.rmtree(tmp)
    return rows


class Timeline:
    """What held at each moment: watch intervals, the language, fault windows."""

    def __init__(self, events):
        self.watch = []        # [start, end, run, game, block_base]
        self.lang = []         # (t, "en" | "ja" | "either")
        self.windows = []      # (start, end, kind)
        self.passed_over = {}  # Tidemark run -> lines told as passed over
        self.refused = set()
        self.refused_attempts = []
        self.text_ended = set()
        self.report_faults = {}  # seq -> first fault the proxy put on one of its reports
        self.fault_counts = {}
        self.end = 0.0
        open_watch = None
        pending = {}
        for e in events:
            t = e["t"]
            self.end = max(self.end, t)
            kind = e["ev"]
            if kind == "watch-start":
                open_watch = [t, None, e["run"], e["game"], e.get("block_base", -1)]
                self.watch.append(open_watch)
                for k in list(pending):
                    if k in ("game-restart", "tidemark-close", "tidemark-kill"):
                        self.windows.append((pending.pop(k), t, k))
            elif kind == "watch-end":
                if open_watch and open_watch[1] is None:
                    open_watch[1] = t
                open_watch = None
            elif kind == "lang-lead-in":
                self.lang.append((t, "either"))
            elif kind == "lang-change":
                self.lang.append((t, "either"))
                pending["language"] = pending.get("language", t)
            elif kind == "lang-settled":
                self.lang.append((t, e["lang"]))
                if "language" in pending and e["lang"] == "en":
                    self.windows.append((pending.pop("language"), t, "language"))
            elif kind == "lang-not-settled":
                self.lang.append((t, "either"))
            elif kind == "fault-begin":
                k = e["kind"]
                self.fault_counts[k] = self.fault_counts.get(k, 0) + 1
                if k in ("game-restart", "tidemark-close", "tidemark-kill"):
                    pending[k] = t - EDGE_S
            elif kind == "outage":
                self.windows.append((t, t + e["seconds"], "outage"))
            elif kind == "stall":
                self.windows.append((t, t + max(e["seconds"], 10.0), "stall-block-change"))
            elif kind == "tm-log":
                told = sum(int(n) for n in PASSED_OVER.findall(e.get("text", "")))
                if told:
                    self.passed_over[e["run"]] = max(self.passed_over.get(e["run"], 0), told)
            elif kind == "post":
                seq, fault = e.get("seq"), e.get("fault")
                if fault:
                    self.fault_counts[fault] = self.fault_counts.get(fault, 0) + 1
                if seq is not None and fault:
                    self.report_faults.setdefault(seq, fault)
                if seq is not None and fault == "text200":
                    self.text_ended.add(seq)
                if fault == "refused-every-time":
                    self.refused_attempts.append(t)
            elif kind == "refused-line":
                self.refused.add(e["seq"])
                self.refused_attempts.append(t)
        self.refused_attempts.sort()
        for k, start in pending.items():
            self.windows.append((start, self.end, k))
        for w in self.watch:
            if w[1] is None:
                w[1] = self.end

    def language(self, t):
        lang = "en"
        for when, value in self.lang:
            if when <= t:
                lang = value
        return lang

    def watched(self, t, game):
        """("watched" | "edge" | "unwatched", the watch interval or the next one)."""
        for w in self.watch:
            if w[3] == game and w[0] <= t <= w[1]:
                return ("watched" if t <= w[1] - EDGE_S else "edge"), w
        following = next((w for w in self.watch if w[0] > t), None)
        return "unwatched", following

    def blame(self, t, seq, missing=False):
        if seq in self.report_faults:
            return self.report_faults[seq]
        # A line missing while the report refused every time was still being
        # tried has waited behind it.
        if missing and self.refused_attempts and self.refused_attempts[0] <= t <= self.refused_attempts[-1]:
            return "refused-every-time"
        inside = [w for w in self.windows if w[0] <= t <= w[1]]
        if inside:
            return max(inside, key=lambda w: w[0])[2]
        after = [w for w in self.windows if t < w[0] <= t + AFTER_S]
        if after:
            return min(after, key=lambda w: w[0])[2]
        return "no fault"


def check(run_dir, database, drop_row=None, double_row=None):
    events = load_events(os.path.join(run_dir, "events.jsonl"))
    patterns = {lang: soaklines.load_patterns(os.path.join(run_dir, "patterns", lang + ".json"))
                for lang in ("en", "ja")}
    timeline = Timeline(events)
    rows = load_rows(database, drop_row, double_row)
    # Lines are logged in the order the game took them; numbers are drawn
    # before, on several threads.
    written = {}
    for order, e in enumerate(e for e in events if e["ev"] == "line"):
        e["order"] = order
        written[e["seq"]] = e

    by_seq = {}
    stranger_rows = 0
    for r in rows:
        seq = soaklines.seq_of(r["log"])
        if seq is None or seq not in written:
            stranger_rows += 1
            continue
        by_seq.setdefault(seq, []).append(r)

    table = {}
    notes = {"unwatched lines": 0, "unwatched lines stored": 0, "history rows": 0, "set aside": 0,
             "set aside stored": 0, "ended by a server text": 0, "not matching, yet stored": 0,
             "of the lost: unwatched, a trace pattern's, in the block the next start read": 0}
    lost_by_run = {}
    listed = []

    def count(kind, column, n=1):
        table.setdefault(kind, dict.fromkeys(COLUMNS, 0))[column] += n

    for seq, line in sorted(written.items()):
        t, game = line["t"], line["game"]
        data = bytes.fromhex(line["hex"])
        code = line["code"]
        lang = timeline.language(t)
        langs = ["en", "ja"] if lang == "either" else [lang]
        expected = {l: soaklines.match(patterns[l], True, code, data) for l in langs}
        expected = {l: p for l, p in expected.items() if p}
        got = by_seq.get(seq, [])
        present = [r for r in got if r["present"] == 1]
        history = [r for r in got if r["present"] == 0]
        notes["history rows"] += len(history)
        if seq in timeline.refused:
            notes["set aside"] += 1
            notes["set aside stored"] += len(present)
            continue
        if not expected:
            if got:
                notes["not matching, yet stored"] += 1
            continue
        kind = timeline.blame(t, seq, missing=not present)
        state, watch = timeline.watched(t, game)
        count(kind, "lines")
        if len(present) > 1:
            count(kind, "doubled", len(present) - 1)
            listed.append(("doubled", seq, t, kind, state, lang, data))
        if state == "watched":
            if present:
                r = present[0]
                if r["lang"] not in expected or expected[r["lang"]]["id"] != r["pid"]:
                    count(kind, "wrong-language")
                    listed.append(("wrong-language " + r["lang"], seq, t, kind, state, lang, data))
            elif seq in timeline.text_ended:
                notes["ended by a server text"] += 1
                count(kind, "expected-missing")
            elif history:
                count(kind, "as-history")
                listed.append(("as-history", seq, t, kind, state, lang, data))
            else:
                count(kind, "lost")
                lost_by_run.setdefault(watch[2], []).append((seq, kind))
                listed.append(("lost", seq, t, kind, state, lang, data))
        elif state == "edge":
            if not present and not history:
                count(kind, "expected-missing")
        else:
            notes["unwatched lines"] += 1
            if got:
                notes["unwatched lines stored"] += 1
                continue
            # Written while no Tidemark watched: only a "trace" pattern can
            # still take it, as history, from the block the next start reads.
            traced = any(soaklines.match(patterns[l], False, code, data) for l in langs)
            readable = (watch is not None and watch[3] == game and watch[4] >= 0
                        and line["index"] // 1000 == watch[4] // 1000)
            count(kind, "lost" if traced and readable else "expected-missing")
            notes["of the lost: unwatched, a trace pattern's, in the block the next start read"] += (
                1 if traced and readable else 0)
            if traced and readable:
                listed.append(("lost", seq, t, kind, state, lang, data))

    # Lines passed over at a block change and told in the Log tab: the design
    # cannot have them.
    for run, told in timeline.passed_over.items():
        for seq, kind in lost_by_run.get(run, [])[:told]:
            table[kind]["lost"] -= 1
            table[kind]["expected-missing"] += 1

    # Order: each stored present line against the latest line stored before it.
    latest = -1
    seen = set()
    for r in rows:
        seq = soaklines.seq_of(r["log"])
        if r["present"] != 1 or seq is None or seq not in written or seq in timeline.refused or seq in seen:
            continue
        seen.add(seq)
        order = written[seq]["order"]
        if order < latest:
            count(timeline.blame(written[seq]["t"], seq), "out-of-order")
            listed.append(("out-of-order", seq, written[seq]["t"], timeline.blame(written[seq]["t"], seq), "",
                           "", bytes.fromhex(written[seq]["hex"])))
        latest = max(latest, order)

    totals = dict.fromkeys(COLUMNS, 0)
    for values in table.values():
        for c in COLUMNS:
            totals[c] += values[c]
    return {"table": table, "totals": totals, "notes": notes, "stranger_rows": stranger_rows,
            "rows": len(rows), "written": len(written), "fault_counts": timeline.fault_counts,
            "passed_over_told": sum(timeline.passed_over.values()),
            "listed": [{"what": w, "seq": s, "t": t, "kind": k, "state": st, "lang": l,
                        "line": d.decode("utf-8", "replace")} for w, s, t, k, st, l, d in listed]}


def print_report(result):
    width = max([len(k) for k in list(result["table"]) + list(result["fault_counts"])] + [26])
    print("%-*s %7s %s" % (width, "fault kind", "events", " ".join("%9s" % c[:9] for c in COLUMNS)))
    for kind in sorted(set(result["table"]) | set(result["fault_counts"])):
        values = result["table"].get(kind, dict.fromkeys(COLUMNS, 0))
        events = result["fault_counts"].get(kind, "")
        print("%-*s %7s %s" % (width, kind, events, " ".join("%9d" % values[c] for c in COLUMNS)))
    t = result["totals"]
    print("%-*s %7s %s" % (width, "all", "", " ".join("%9d" % t[c] for c in COLUMNS)))
    print("lines written %d, rows stored %d (%d not from the soak's lines)" % (
        result["written"], result["rows"], result["stranger_rows"]))
    for k, v in result["notes"].items():
        print("%s: %d" % (k, v))
    print("lines told as passed over in the Log tab: %d" % result["passed_over_told"])
    bad = t["lost"] + t["as-history"] + t["doubled"] + t["out-of-order"] + t["wrong-language"]
    print("RESULT: %s: %d lost, %d as history, %d doubled, %d out of order, %d in the wrong language" % (
        "PASS" if bad == 0 else "FAIL", t["lost"], t["as-history"], t["doubled"], t["out-of-order"],
        t["wrong-language"]))
    return bad == 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("run_dir")
    p.add_argument("--database")
    p.add_argument("--drop-row", type=int)
    p.add_argument("--double-row", type=int)
    p.add_argument("--json")
    p.add_argument("--list", action="store_true", help="each line counted as lost, doubled or out of order")
    a = p.parse_args()
    database = a.database or os.path.join(a.run_dir, "reports.sqlite3")
    result = check(a.run_dir, database, a.drop_row, a.double_row)
    if a.list:
        for item in sorted(result["listed"], key=lambda i: i["t"]):
            print("%-16s #%06d t=%8.3f %-26s %-9s %-6s %r" % (
                item["what"], item["seq"], item["t"], item["kind"], item["state"], item["lang"], item["line"]))
    ok = print_report(result)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(result, f, indent=1)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
