#!/usr/bin/env python3
"""Writes sequenced readings in consecutive slices, one file per plugin instance, and what the
plugin must do with each slice.

The readings go to the tables "pump" and "Pump" (names that differ in letter case only) and,
from the fourth slice on, every fifth one to "routed" through a hint datapoint. Later slices
bring new datapoints: "label" (text, only on two readings of three) from the second slice,
"Temperature" (next to "temperature") from the fourth. So a fresh instance finds tables and
columns that an earlier one created, and must add only what is new.

expected.json holds, per slice, the CREATE TABLE and ALTER TABLE statements a plugin that
re-reads each table's columns once per instance sends, the number of tables it looks up, and
the final column list of every table.
"""

import argparse
import json
import os

STANDARD_COLUMNS = ["asset_code", "user_ts", "ts", "tolvane"]
HINT = "snowflakeHint"


def reading(seq, slice_index):
    values = {"seq": seq, "temperature": 20.0 + (seq % 1000) / 8.0, "count": seq * 3}
    if slice_index >= 1 and seq % 3 != 0:
        values["label"] = f"label {seq}"
    if slice_index >= 3:
        values["Temperature"] = -(seq % 500) / 4.0
        if seq % 5 == 0:
            values[HINT] = json.dumps({"tablename": "routed"})
    seconds = seq // 1000
    stamp = f"2024-03-01 {seconds // 3600 % 24:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}." \
            f"{seq % 1000 * 1000:06d}"
    return {"asset": "pump" if seq % 2 == 0 else "Pump", "user_ts": stamp, "ts": stamp,
            "readings": values}


def table_of(item):
    hint = item["readings"].get(HINT)
    return json.loads(hint)["tablename"] if hint else item["asset"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--readings", type=int, required=True)
    parser.add_argument("--slices", type=int, default=5)
    parser.add_argument("--out-dir", required=True)
    args = parser.parse_args()
    if args.slices < 4 or args.readings < args.slices * 10:
        parser.error("at least 4 slices of 10 readings each")

    columns = {}  # table -> column list as the database holds it
    slices = []
    size = args.readings // args.slices
    for index in range(args.slices):
        first = index * size
        last = args.readings if index == args.slices - 1 else first + size
        items = [reading(seq, index) for seq in range(first, last)]
        with open(os.path.join(args.out_dir, f"slice-{index}.json"), "w") as out:
            for item in items:
                out.write(json.dumps(item) + "\n")

        creates = alters = 0
        looked_up = set()
        for item in items:
            table = table_of(item)
            record = STANDARD_COLUMNS + [name for name in item["readings"] if name != HINT]
            looked_up.add(table)
            if table not in columns:
                columns[table] = list(record)
                creates += 1
                continue
            for name in record:
                if name not in columns[table]:
                    columns[table].append(name)
                    alters += 1
        slices.append({"first": first, "count": len(items), "creates": creates,
                       "alters": alters, "lookups": len(looked_up)})

    with open(os.path.join(args.out_dir, "expected.json"), "w") as out:
        json.dump({"slices": slices, "columns": columns}, out, indent=1)


if __name__ == "__main__":
    main()
