#!/usr/bin/env bash
# The Group Policy template an administrator loads into the Group Policy
# editor: well-formed XML (xmllint), each language's .adml defining every
# string and presentation the .admx names (the editor refuses a template
# that misses one), and the key and value names the program reads
# (platform/machine_policy.h, platform/settings.h), so that a renamed value
# cannot leave the template writing what nothing reads.
# Usage: group_policy_template_test.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
templates=$here/deploy/group-policy
xmllint --noout "$templates/ZenquiloStudent.admx" "$templates"/*/ZenquiloStudent.adml
python3 - "$templates" "$here/platform/machine_policy.h" "$here/platform/settings.h" <<'PY'
import re, sys, pathlib
templates, policy_header, settings_header = map(pathlib.Path, sys.argv[1:])
ns = {'p': 'http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'}
import xml.etree.ElementTree as ET
admx = ET.parse(templates / 'ZenquiloStudent.admx').getroot()
text = (templates / 'ZenquiloStudent.admx').read_text(encoding='utf-8')
strings = set(re.findall(r'\$\(string\.([A-Za-z0-9_]+)\)', text))
presentations = set(re.findall(r'\$\(presentation\.([A-Za-z0-9_]+)\)', text))
failures = []
headers = policy_header.read_text() + settings_header.read_text()
key = re.search(r'kPolicyKeyPath\[\] = L"([^"]+)"', headers).group(1).replace('\\\\', '\\')
read_names = set(re.findall(r'= L"([A-Z_]+)"', headers))
names = set()
for policy in admx.iterfind('.//p:policy', ns):
    if policy.get('key') != key:
        failures.append(f"{policy.get('name')}: key {policy.get('key')} is not {key}")
    for element in [policy] + list(policy.iterfind('.//p:elements/*', ns)):
        if element.get('valueName'):
            names.add(element.get('valueName'))
unread = names - read_names
if unread:
    failures.append(f"value names the program does not read: {sorted(unread)}")
wanted = {'URL_UPDATE_PACKAGE', 'URL_HOME_PACKAGE', 'PROXY', 'UPDATES_ENABLED', 'HIGHEST_VERSION'}
if names != wanted:
    failures.append(f"the template sets {sorted(names)}, not {sorted(wanted)}")
languages = sorted(p.parent.name for p in templates.glob('*/ZenquiloStudent.adml'))
if languages != ['en-US', 'zh-CN']:
    failures.append(f"languages {languages}")
for language in languages:
    adml = ET.parse(templates / language / 'ZenquiloStudent.adml').getroot()
    defined = {s.get('id') for s in adml.iterfind('.//p:stringTable/p:string', ns)}
    shown = {s.get('id') for s in adml.iterfind('.//p:presentationTable/p:presentation', ns)}
    for missing in sorted(strings - defined):
        failures.append(f"{language}: no string {missing}")
    for missing in sorted(presentations - shown):
        failures.append(f"{language}: no presentation {missing}")
for failure in failures:
    print("FAILED:", failure)
print(f"{len(names)} policies, strings and presentations in {len(languages)} languages checked")
sys.exit(1 if failures else 0)
PY
