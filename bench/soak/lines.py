"""The soak's chat lines and the patterns' matching rule, shared by the run
and the checker.

Every line the soak writes carries a tag "#s000123#" with its sequence
number, so that a stored row names the line it came from. The kinds are
drawn so that each language has lines only its own patterns take, lines
both take with the same pattern id (emotes), and talk no pattern takes.
"""

import json
import re

TAG = re.compile(rb"#s(\d{6})#")
REFUSE_MARK = b"SOAK-REFUSE-EVERY-TIME"

PEOPLE = ["Alice Bell", "Kaito Mori", "Y'shtola Rhul", "Mira Oak"]

# (code, text with {who} {other} {n} {tag}, neutral): neutral lines are taken
# by the same pattern in both languages, so a language change cannot make
# them ambiguous.
KINDS = [
    (29, "\x1f\x1fYou wave to {other}. {tag}", True),
    (28, "\x1f\x1f{who} bows deeply to {other}. {tag}", True),
    (10, "{who}\x1fGood morning, everyone! {tag}", True),
    (10, "{other}\x1fAnyone up for a dungeon run? {tag}", True),
    (2122, "\x1f\x1fRandom! You roll a {n}. {tag}", False),
    (2110, "\x1f\x1fYou obtain \x02\x48\x04\xf0\x08\x11\x03a hi-potion\x02\x48\x02\x01\x03. {tag}", False),
    (2112, "\x1f\x1f{who} earns the achievement Eorzea Explorer {n}! {tag}", False),
    (2122, "\x1f\x1fランダム！ {who}は{n}を出した。 {tag}", False),
    (2110, "\x1f\x1fハイポーションを手に入れた。 {tag}", False),
    (2112, "\x1f\x1f{who}はアチーブメント「エオルゼアの探検家 {n}」を達成した！ {tag}", False),
]


def tag(seq):
    return "#s%06d#" % seq


def seq_of(data):
    m = TAG.search(data or b"")
    return int(m.group(1)) if m else None


def encode(text):
    # The game's control sequences are raw bytes; the rest is UTF-8.
    out = bytearray()
    for ch in text:
        out += bytes([ord(ch)]) if ord(ch) < 0x100 and ch in "\x02\x03\x48\x04\xf0\x08\x11\x01" else ch.encode()
    return bytes(out)


def make_line(rng, seq, neutral):
    choices = [k for k in KINDS if k[2]] if neutral else KINDS
    code, text, _ = rng.choice(choices)
    who, other = rng.sample(PEOPLE, 2)
    return seq, code, encode(text.format(who=who, other=other, n=rng.randint(1, 999), tag=tag(seq)))


def refused_line(seq):
    # An emote: the same pattern takes it in either language.
    return seq, 29, encode("\x1f\x1fYou wave to everyone. %s %s" % (REFUSE_MARK.decode(), tag(seq)))


def atoi(text):
    m = re.match(r"\s*([+-]?\d+)", text)
    return int(m.group(1)) if m else 0


def load_patterns(path):
    """The pattern document in order, as the client compiles it."""
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    patterns = []
    for name, value in doc.items():
        if not isinstance(value, dict) or not isinstance(value.get("code"), str):
            continue
        keywords = value.get("keyword", [])
        if not isinstance(keywords, list) or not all(isinstance(k, str) for k in keywords):
            continue
        patterns.append({"id": atoi(name), "code": atoi(value["code"]), "trace": value.get("trace") is True,
                         "keywords": [k.encode() for k in keywords]})
    return patterns


def match(patterns, present, code, data):
    """The first pattern that takes the line, or None."""
    for p in patterns:
        if not present and not p["trace"]:
            continue
        if p["code"] != 0 and p["code"] != code:
            continue
        if all(k in data for k in p["keywords"]):
            return p
    return None
