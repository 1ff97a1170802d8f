#!/usr/bin/python3
"""Checks the simulated machine's access decisions against Samba's access check.

Input (a file named as the argument, or standard input): the lines of vesk_rights,

    access TAB sddl TAB sids TAB asked TAB granted TAB path

sddl: the object's descriptor (owner, group, DACL; SIDs spelt out, masks in hexadecimal);
sids: the token's SIDs, comma-separated, the user first, a deny-only one with a leading '-';
asked: the access asked for, 0x hexadecimal, generic rights already mapped; granted: 1 or 0.
Lines starting with "run" and blank lines are skipped; any other line is an error.

Every distinct (sddl, sids, asked) question is put to Samba once (Debian's python3-samba, run
with /usr/bin/python3). Printed: each disagreement with one of its lines, the questions not
compared and why, and a summary. Exit 1 on a disagreement, a line that cannot be read, or when
no question at all could be compared; else 0.

What Samba 4.17's access check does (tried on this machine) and how its answers are used:

- No account is special: the system SID gets only what the entries give it, as on Windows,
  whose access check has no shortcut for the system account either. Compared as it is.
- The owner (any SID of the token equal to the descriptor's owner) gets READ_CONTROL and
  WRITE_DAC whatever the entries say, deny entries included, unless an OWNER RIGHTS (S-1-3-4)
  entry is present; never WRITE_OWNER. As Windows since Vista.
- Inherit-only entries (IO) are skipped, allow and deny alike; ID changes nothing. As Windows.
- Entries are walked in order and stop mattering once every asked bit is settled: a deny entry
  refuses only bits no earlier entry granted. As Windows.
- Generic bits in an entry's mask grant nothing (GENERIC_ALL does not give FILE_READ_DATA).
  Windows maps them with the file mapping when it stores a descriptor, so an effective entry
  never holds them there; the checker maps them the same way before asking Samba (inherit-only
  entries keep theirs: they do not take part).
- A descriptor without a DACL: Samba refuses everything, Windows grants everything. Not
  compared. An empty DACL ("D:" or "D:P" alone) refuses all but the owner's rights in both.
- Asked 0: Samba grants; Windows' answer depends on what the opener holds already. Not compared.
- MAXIMUM_ALLOWED: Samba grants even when nothing is allowed, Windows refuses an empty
  maximum; Samba's answer counts as a grant only when it grants some right.
- ACCESS_SYSTEM_SECURITY, and WRITE_OWNER through a privilege, depend on privileges the line
  does not carry: the token is taken to have none enabled (so is the system account's by default:
  its take-ownership, backup and restore privileges are present but disabled). A question asking
  ACCESS_SYSTEM_SECURITY is not compared; generic bits in the asked mask are an error.
- The token has no deny-only SIDs. Windows matches a deny-only SID against deny entries only,
  never against allow entries, and never counts it as the owner. So each deny-only SID is put in
  the token as a stand-in SID that occurs nowhere else, and the trustee of every deny entry
  naming it is changed to that stand-in: the deny entry still applies, allow entries and the
  owner's rights do not. With no deny entry naming it this is the same as leaving it out.
- Samba reads a mask it does not understand (decimal, "0X", the letters FA, FR, FW: those are
  directory-service rights to it) as something else without a word, and takes "S-1-5-1x" for
  "S-1-5-1". So masks and SIDs are read here first, every entry Samba parsed is compared with
  them, and a line that does not match is an error.
"""

import re
import sys

from samba import NTSTATUSError, security
from samba.dcerpc import security as dsec

DOMAIN = dsec.dom_sid("S-1-5-21-1-2-3")
NT_STATUS_ACCESS_DENIED = 0xC0000022

SID = r"S-1-\d+(?:-\d+)*"
ACE = re.compile(r"\((A|D);((?:OI|CI|NP|IO|ID|SA|FA)*);(0x[0-9a-fA-F]+);;;(" + SID + r")\)")
DESCRIPTOR = re.compile(r"(?:O:(" + SID + r"))?(?:G:(" + SID + r"))?"
                        r"(?:D:([A-Z]*)((?:\([^()]*\))*))?")

GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL = (
    0x80000000, 0x40000000, 0x20000000, 0x10000000)
FILE_MAPPING = {GENERIC_READ: 0x120089, GENERIC_WRITE: 0x120116, GENERIC_EXECUTE: 0x1200A0,
                GENERIC_ALL: 0x1F01FF}
SPECIFIC_AND_STANDARD = 0x001FFFFF
ACCESS_SYSTEM_SECURITY, MAXIMUM_ALLOWED = 0x01000000, 0x02000000
INHERIT_ONLY = 0x08
OWNER_RIGHTS = "S-1-3-4"


class Unreadable(Exception):
    pass


class NotCompared(Exception):
    pass


def read_sid(text):
    if not re.fullmatch(SID, text) or str(dsec.dom_sid(text)) != text:
        raise Unreadable("SID %r" % text)
    return text


def map_generic(mask):
    for bit, rights in FILE_MAPPING.items():
        if mask & bit:
            mask = (mask & ~bit) | rights
    return mask


def read_descriptor(sddl):
    """(owner, group, dacl flags, [(type, flags, mask, trustee, inherit-only)]) or Unreadable."""
    m = DESCRIPTOR.fullmatch(sddl)
    if not m:
        raise Unreadable("descriptor %r" % sddl)
    owner, group, dacl_flags, aces_text = m.groups()
    if dacl_flags is None:
        raise NotCompared("no DACL: Samba refuses everything, Windows grants everything")
    aces = []
    for text in re.findall(r"\([^()]*\)", aces_text):
        a = ACE.fullmatch(text)
        if not a:
            raise Unreadable("entry %r (only A and D, a 0x mask, a full SID)" % text)
        flags = a.group(2)
        inherit_only = "IO" in (flags[i:i + 2] for i in range(0, len(flags), 2))
        aces.append((a.group(1), flags, int(a.group(3), 16), read_sid(a.group(4)), inherit_only))
    return owner, group, dacl_flags, aces


def sddl_text(owner, group, dacl_flags, aces):
    return ((owner and "O:" + owner or "") + (group and "G:" + group or "") + "D:" + dacl_flags +
            "".join("(%s;%s;0x%08x;;;%s)" % ace[:4] for ace in aces))


def samba_descriptor(owner, group, dacl_flags, aces):
    sddl = sddl_text(owner, group, dacl_flags, aces)
    try:
        sd = dsec.descriptor.from_sddl(sddl, DOMAIN)
    except TypeError:
        raise Unreadable("Samba cannot read %r" % sddl)
    parsed = [(a.type, a.access_mask, str(a.trustee), bool(a.flags & INHERIT_ONLY))
              for a in (sd.dacl.aces if sd.dacl else [])]
    meant = [(dsec.SEC_ACE_TYPE_ACCESS_ALLOWED if t == "A" else dsec.SEC_ACE_TYPE_ACCESS_DENIED,
              mask, trustee, inherit_only) for t, _, mask, trustee, inherit_only in aces]
    if parsed != meant or str(sd.owner_sid or "") != (owner or "") or \
            str(sd.group_sid or "") != (group or ""):
        raise Unreadable("Samba read %r otherwise" % sddl)
    return sd


def samba_grants(sddl, sids_text, asked_text):
    """Samba's answer to one question, as Windows would give it, or NotCompared/Unreadable."""
    if not re.fullmatch(r"0x[0-9a-fA-F]+", asked_text):
        raise Unreadable("asked %r" % asked_text)
    asked = int(asked_text, 16)
    if asked & 0xF0000000:
        raise Unreadable("asked 0x%x holds generic rights" % asked)
    if asked & ~(SPECIFIC_AND_STANDARD | ACCESS_SYSTEM_SECURITY | MAXIMUM_ALLOWED):
        raise Unreadable("asked 0x%x holds reserved bits" % asked)
    if asked == 0:
        raise NotCompared("nothing asked")
    if asked & ACCESS_SYSTEM_SECURITY:
        raise NotCompared("ACCESS_SYSTEM_SECURITY: a privilege decides")
    owner, group, dacl_flags, aces = read_descriptor(sddl)
    if not sids_text:
        raise Unreadable("empty token")
    enabled, deny_only = [], []
    for s in sids_text.split(","):
        (deny_only if s.startswith("-") else enabled).append(read_sid(s.lstrip("-")))
    # A stand-in for each deny-only SID, named by no entry, the owner or the token.
    taken = set(enabled) | set(deny_only) | {ace[3] for ace in aces} | {owner, group}
    stand_in, n = {}, 0
    for s in deny_only:
        while "S-1-9-424242-%d" % n in taken:
            n += 1
        stand_in[s] = "S-1-9-424242-%d" % n
        n += 1
    aces = [(t, flags, mask if inherit_only else map_generic(mask),
             stand_in.get(trustee, trustee) if t == "D" else trustee, inherit_only)
            for t, flags, mask, trustee, inherit_only in aces]
    sd = samba_descriptor(owner, group, dacl_flags, aces)
    token = dsec.token()
    sids = [dsec.dom_sid(s) for s in enabled + [stand_in[s] for s in deny_only]]
    token.sids = sids  # before num_sids, which is read back as the list's length
    token.num_sids = len(sids)
    try:
        granted = security.access_check(sd, token, asked)
    except NTSTATUSError as e:
        if e.args[0] != NT_STATUS_ACCESS_DENIED:
            raise Unreadable("Samba: %s" % (e.args,))
        return False
    return granted != 0 or not asked & MAXIMUM_ALLOWED


def main(argv):
    source = open(argv[1], encoding="utf-8") if len(argv) > 1 else sys.stdin
    questions = {}  # (sddl, sids, asked) -> {ours: first line}
    lines = errors = 0
    for number, line in enumerate(source, 1):
        line = line.rstrip("\r\n")
        if not line.strip() or line.startswith("run"):
            continue
        fields = line.split("\t", 5)
        if len(fields) != 6 or fields[0] != "access" or fields[4] not in ("0", "1"):
            print("unreadable line %d: %s" % (number, line))
            errors += 1
            continue
        lines += 1
        ours = questions.setdefault(tuple(fields[1:4]), {})
        ours.setdefault(fields[4] == "1", "%d: %s" % (number, line))
    disagreements, not_compared, compared = 0, {}, 0
    for (sddl, sids, asked), ours in questions.items():
        try:
            samba = samba_grants(sddl, sids, asked)
        except NotCompared as why:
            not_compared[str(why)] = not_compared.get(str(why), 0) + 1
            continue
        except Unreadable as why:
            for where in ours.values():
                print("unreadable (%s) line %s" % (why, where))
            errors += 1
            continue
        compared += 1
        for granted, where in ours.items():
            if granted != samba:
                disagreements += 1
                print("disagree: ours %s, Samba %s: line %s" %
                      ("granted" if granted else "refused", "granted" if samba else "refused",
                       where))
    for why, count in sorted(not_compared.items()):
        print("not compared (%s): %d" % (why, count))
    print("%d decisions, %d distinct questions, %d compared, %d not compared, %d disagreements, "
          "%d unreadable" % (lines, len(questions), compared, sum(not_compared.values()),
                             disagreements, errors))
    if compared == 0:
        print("no decision compared")
    return 1 if disagreements or errors or compared == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
