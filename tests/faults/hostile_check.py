#!/usr/bin/env python3
"""Readings and read-back checks for tests/faults/hostile_input.sh.

  hostile_check.py readings CASES GROUP OUT
      writes the readings of one group of CASES (hostile_cases.json) to OUT, one per line;
      the group "names" gets one file per case (OUT.<n>), each with an ordinary companion
  hostile_check.py verify CASES GROUP LOG [LOG...]
      reads every table of the plugin's schema back (psql as set by the PG* variables and
      PSQL) and checks each case: its value landed byte for byte where the plugin's rules put
      it, or (group "names" only) it was left out and a warning or error says so; nothing
      else changed, the canary tables included.

Every reading carries an integer datapoint "case" (its case number) that finds its row.
"""

import json
import os
import subprocess
import sys

SCHEMA = "TOLVANE"
HINT = "snowflakeHint"
CANARY_ROWS = [{"id": 1, "note": "canary row"}]
# PostgreSQL keeps identifiers to 63 bytes; Snowflake's limit is 255 characters.
PG_NAME_BYTES = 63
TABLES = {"text": "hostile_text", "datapoint": "hostile_names", "integer": "hostile_int",
          "float": "hostile_float", "hint": "hint_fallback"}
COMPANION = "companion"


def load_cases(path, group):
    with open(path, encoding="utf-8") as source:
        cases = json.load(source)["cases"]
    picked = []
    for number, case in enumerate(cases, start=1):
        if case["group"] != group:
            continue
        case = dict(case, number=number)
        if "repeat" in case:
            case["value"] = case["repeat"] * case["count"]
        picked.append(case)
    if not picked:
        sys.exit(f"no cases in group {group}")
    return picked


def reading(case):
    kind, value, number = case["kind"], case["value"], case["number"]
    values = {"case": number}
    asset = TABLES.get(kind)
    if kind == "text":
        values["v"] = value
    elif kind == "asset":
        asset = value
        values["v"] = "asset"
    elif kind == "datapoint":
        values[value] = f"x{number}"
    elif kind == "hint":
        values[HINT] = json.dumps({"tablename": value}, ensure_ascii=False)
    elif kind == "integer":
        values["n"] = value
    elif kind == "float":
        values["x"] = value
    else:
        sys.exit(f"case {case['id']}: unknown kind {kind}")
    return {"asset": asset, "user_ts": "2024-05-06 07:08:09.123456",
            "ts": "2024-05-06 07:08:09.654321", "readings": values}


def write_readings(cases, group, out):
    if group == "names":
        for index, case in enumerate(cases):
            with open(f"{out}.{index}", "w", encoding="utf-8") as target:
                target.write(json.dumps(reading(case)) + "\n")
                target.write(json.dumps({"asset": COMPANION, "readings": {"case": case["number"]}})
                             + "\n")
        return
    with open(out, "w", encoding="utf-8") as target:
        for case in cases:
            target.write(json.dumps(reading(case)) + "\n")


def pg_name(name):
    """The name as PostgreSQL stores it: cut to 63 bytes on a character boundary."""
    encoded = name.encode("utf-8")
    if len(encoded) <= PG_NAME_BYTES:
        return name
    return encoded[:PG_NAME_BYTES].decode("utf-8", errors="ignore")


def hint_table(value, asset):
    """Where the plugin's hint rules send a hint naming `value`: (table, invalid JSON)."""
    text = json.dumps(json.dumps({"tablename": value}, ensure_ascii=False), ensure_ascii=False)
    # The host's text of a string datapoint is its JSON string; backslashes and one pair of
    # enclosing double quotes are removed before parsing.
    text = text.replace("\\", "")
    if len(text) >= 2 and text[0] == '"' and text[-1] == '"':
        text = text[1:-1]
    try:
        document = json.loads(text)
    except ValueError:
        return asset, True
    if isinstance(document, dict) and isinstance(document.get("tablename"), str):
        name = document["tablename"].split("\0")[0]
        # The empty name names no table: the reading stays in its asset's table.
        return (name or asset), False
    return asset, False


def psql(query):
    command = [os.environ.get("PSQL", "psql"), "-X", "-At", "-v", "ON_ERROR_STOP=1", "-c", query]
    return subprocess.run(command, check=True, capture_output=True, text=True,
                          encoding="utf-8").stdout


def quote(name):
    return '"' + name.replace('"', '""') + '"'


def read_schema(schema):
    """{table: (column names, rows as dicts)} of every table of a schema."""
    listing = psql("SELECT c.oid, encode(convert_to(c.relname::text, 'UTF8'), 'hex') "
                   "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                   f"WHERE n.nspname = '{schema}' AND c.relkind = 'r'")
    tables = {}
    for line in listing.splitlines():
        oid, hexname = line.split("|")
        name = bytes.fromhex(hexname).decode("utf-8")
        columns = psql("SELECT json_agg(attname::text ORDER BY attnum) FROM pg_attribute "
                       f"WHERE attrelid = {int(oid)} AND attnum > 0 AND NOT attisdropped")
        rows = psql(f"SELECT row_to_json(t) FROM {quote(schema)}.{quote(name)} AS t")
        tables[name] = (json.loads(columns), [json.loads(row) for row in rows.split("\n") if row])
    return tables


class Verifier:
    def __init__(self, cases, group, logs):
        self.cases = cases
        self.group = group
        self.logs = logs
        self.failures = 0

    def report(self, ok, case_id, text):
        print(f"{'ok  ' if ok else 'FAIL'} {case_id}: {text}")
        self.failures += not ok

    def run(self):
        tables = read_schema(SCHEMA)
        rows_by_case = {}
        for table, (_, rows) in tables.items():
            for row in rows:
                if "case" in row and row["case"] is not None:
                    rows_by_case.setdefault(row["case"], []).append((table, row))
        expected_tables = {"canary"}
        for case in self.cases:
            found = rows_by_case.get(case["number"], [])
            if self.group == "names":
                expected_tables.update(self.check_name_case(case, found, tables))
            else:
                table = self.check_case(case, found)
                if table is not None:
                    expected_tables.add(table)
        # The plugin's own delivery ledger and reject table are expected in any schema it writes.
        unexpected = set(tables) - expected_tables - {"_varnholt_ledger", "_varnholt_rejects"}
        self.report(not unexpected, "tables", f"no other tables in {SCHEMA}"
                    if not unexpected else f"unexpected tables {sorted(unexpected)}")
        for schema in (SCHEMA, "public"):
            canary = read_schema(schema).get("canary")
            self.report(canary == (["id", "note"], CANARY_ROWS), f"canary.{schema}",
                        "untouched" if canary == (["id", "note"], CANARY_ROWS)
                        else f"changed: {canary}")
        return self.failures == 0

    def check_case(self, case, found):
        kind, value, case_id = case["kind"], case["value"], case["id"]
        if kind == "hint":
            table, invalid = hint_table(value, TABLES["hint"])
            if invalid:
                self.report(any("Invalid hint JSON format" in line for line in self.log_lines()),
                            case_id, "invalid hint JSON logged")
        elif kind == "asset":
            table = value
        else:
            table = TABLES[kind]
        stored = pg_name(table)
        if len(found) != 1:
            self.report(False, case_id, f"{len(found)} rows, expected one in {stored!r}")
            return stored
        where, row = found[0]
        if where != stored:
            self.report(False, case_id, f"row in table {where!r}, expected {stored!r}")
            return stored
        if kind == "text":
            want = value.replace("\0", "")
            got = row.get("v")
            self.report(got == want, case_id,
                        "landed byte for byte" + (" (NUL bytes left out)" if want != value else "")
                        if got == want else f"read back {got!r}, expected {want!r}")
        elif kind == "asset":
            ok = row.get("asset_code") == value and row.get("v") == "asset"
            note = " (table name cut to 63 bytes by PostgreSQL)" if stored != value else ""
            self.report(ok, case_id, f"table {stored!r}{note}" if ok else f"row {row!r}")
        elif kind == "datapoint":
            column = pg_name(value)
            ok = row.get(column) == f"x{case['number']}"
            note = " (cut to 63 bytes by PostgreSQL)" if column != value else ""
            self.report(ok, case_id, f"column {column!r}{note}" if ok else f"row {row!r}")
        elif kind == "hint":
            self.report(True, case_id, f"routed to {stored!r}")
        elif kind == "integer":
            self.report(row.get("n") == value, case_id,
                        f"{value} read back" if row.get("n") == value else f"row {row!r}")
        elif kind == "float":
            got = row.get("x")
            ok = isinstance(got, (int, float)) and float(got) == value
            self.report(ok, case_id, f"{value!r} read back" if ok else f"read back {got!r}")
        return stored

    def check_name_case(self, case, found, tables):
        """A name no database takes as it is: the batch still lands; the reading or its
        datapoint lands under the name with NUL bytes left out, or is left out with a log line."""
        value, case_id = case["value"], case["id"]
        companions = [row for table, row in found if table == COMPANION]
        self.report(len(companions) == 1, case_id,
                    "its companion reading landed once" if len(companions) == 1
                    else f"{len(companions)} rows of its companion reading")
        hostile = [(table, row) for table, row in found if table != COMPANION]
        candidates = {pg_name(value.replace("\0", "")), pg_name(value.split("\0")[0])}
        allowed = {COMPANION}
        if case["kind"] == "asset":
            allowed |= candidates
            landed = [t for t, row in hostile if t in candidates and row.get("asset_code")]
        else:
            allowed.add(TABLES["datapoint"])
            landed = [t for t, row in hostile
                      if any(row.get(c) == f"x{case['number']}" for c in candidates if c)]
        if landed:
            self.report(True, case_id, f"landed in {landed[0]!r}")
        else:
            logged = any(line.startswith(("WARNING:", "ERROR:")) for line in self.log_lines(case))
            self.report(logged, case_id, "left out with a log line" if logged
                        else "left out without a warning or error")
        return allowed & set(tables)

    def log_lines(self, case=None):
        paths = self.logs
        if case is not None and self.group == "names":
            paths = [self.logs[self.cases.index(case)]]
        lines = []
        for path in paths:
            with open(path, encoding="utf-8", errors="replace") as source:
                lines.extend(source.read().splitlines())
        return lines


def main():
    if len(sys.argv) >= 5 and sys.argv[1] == "readings":
        write_readings(load_cases(sys.argv[2], sys.argv[3]), sys.argv[3], sys.argv[4])
        return 0
    if len(sys.argv) >= 5 and sys.argv[1] == "verify":
        verifier = Verifier(load_cases(sys.argv[2], sys.argv[3]), sys.argv[3], sys.argv[4:])
        return 0 if verifier.run() else 1
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
