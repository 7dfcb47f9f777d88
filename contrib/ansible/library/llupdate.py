#!/usr/bin/python3
# An Ansible module: runs llupdate over the databases of a target and reports, per database,
# what became of it.

DOCUMENTATION = r"""
module: llupdate
short_description: keep the List & Label report forms of databases up to date
description:
  - Runs C(llupdate --json COMMAND --databases -) on the target with the databases given, and
    reports each database's result (its DatabaseResult record) and the fleet's summary as facts
    (C(llupdate_results), C(llupdate_summary)).
  - The task changed something when a database was converted; it failed when llupdate's exit
    status is not 0 (a database failed, was refused, was held by another run, or showed errors).
  - In check mode the command runs with C(--dry-run) and changes nothing.
options:
  command:
    description: The llupdate command (convert, distribute, address, ll24, status, undo, ...).
    type: str
    default: convert
  databases:
    description: The database paths (each with its form folder BerichteLL).
    type: list
    elements: str
    required: true
  arguments:
    description: The command's arguments after DBPATH (for example the TYPE of dunning).
    type: list
    elements: str
    default: []
  jobs:
    description: How many databases run at once (default, the target's cores).
    type: int
  options:
    description: Further options of llupdate, for example --no-sync or --wait=60.
    type: list
    elements: str
    default: []
  executable:
    description: The llupdate program on the target.
    type: str
    default: llupdate
"""

EXAMPLES = r"""
- name: convert the customers' databases
  llupdate:
    command: convert
    databases: "{{ customer_databases }}"
    jobs: 2
"""

import json

from ansible.module_utils.basic import AnsibleModule


def main():
    module = AnsibleModule(
        argument_spec=dict(
            command=dict(type="str", default="convert"),
            databases=dict(type="list", elements="str", required=True),
            arguments=dict(type="list", elements="str", default=[]),
            jobs=dict(type="int"),
            options=dict(type="list", elements="str", default=[]),
            executable=dict(type="str", default="llupdate"),
        ),
        supports_check_mode=True,
    )
    p = module.params
    argv = [p["executable"], "--json"] + p["options"]
    if p["jobs"]:
        argv += ["--jobs", str(p["jobs"])]
    if module.check_mode:
        argv.append("--dry-run")
    argv += [p["command"], "--databases", "-"] + p["arguments"]
    rc, out, err = module.run_command(argv, data="\n".join(p["databases"]) + "\n")
    results, summary = [], {}
    for line in out.splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue
        if record.get("call") == "DatabaseResult":
            results.append(record)
        elif record.get("call") == "FleetSummary":
            summary = record
    changed = not module.check_mode and any(
        r.get("result") == "converted" or r.get("rewritten", 0) + r.get("copied", 0) > 0
        for r in results)
    not_ok = [r["db"] + ": " + r.get("result", "?") for r in results
              if r.get("exit", 0) != 0]
    module.exit_json(
        changed=changed,
        failed=rc != 0,
        rc=rc,
        msg=("llupdate: " + "; ".join(not_ok)) if not_ok else "llupdate: every database done",
        stderr=err if rc != 0 and not results else "",
        ansible_facts=dict(llupdate_results=results, llupdate_summary=summary),
    )


if __name__ == "__main__":
    main()
