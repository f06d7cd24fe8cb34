#!/usr/bin/env bash
# The Ansible collection zantor.filtering checked without a network: its documentation as
# ansible-doc reads it (modules and role), its archive built and installed, the sanity tests of ansible-test that need no packages
# from the network (those that do - ansible-doc's own venv, import, pep8, pylint,
# runtime-metadata, validate-modules, yamllint - cannot install them here), the example
# playbooks' syntax, and the unit tests of its shared code. Exit 77 (skipped) without
# ansible-core.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
collection=$source_dir/ansible/ansible_collections/zantor/filtering

if ! command -v ansible-playbook >/dev/null || ! command -v ansible-test >/dev/null; then
  echo "ansible-core is not installed (scripts/install-deps.sh installs it): skipped"
  exit 77
fi
# Debian's ansible lives with the system's Python, whatever python3 is first on PATH.
python=/usr/bin/python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# ansible-test writes its results into the collection: it runs on a copy.
mkdir -p "$work/ansible_collections/zantor"
cp -r "$collection" "$work/ansible_collections/zantor/filtering"
rm -rf "$work/ansible_collections/zantor/filtering/tests/output"
export ANSIBLE_COLLECTIONS_PATH=$work ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_HOME=$work/home

echo "=== ansible-doc"
for module in zantor.filtering.config zantor.filtering.facts zantor.filtering.confirm; do
  out=$(ansible-doc "$module" 2>&1) || { echo "$out"; exit 1; }
  # A documentation that does not parse is reported, and then ansible-doc says nothing useful.
  grep -q "^> ${module^^} " <<<"$out" || { echo "$out"; exit 1; }
  for part in "OPTIONS (= is mandatory):" "EXAMPLES:" "RETURN VALUES:"; do
    grep -qF "$part" <<<"$out" || { echo "$module: no $part"; exit 1; }
  done
done
out=$(ansible-doc -t role zantor.filtering.service 2>&1)
grep -q "ENTRY POINT: main" <<<"$out" || { echo "$out"; exit 1; }
listed=$(ansible-doc -l zantor.filtering 2>&1)
for module in config facts confirm; do
  grep -q "^zantor.filtering.$module " <<<"$listed" || { echo "$listed"; exit 1; }
done

echo "=== ansible-test sanity (the tests that run without a network)"
(cd "$work/ansible_collections/zantor/filtering" &&
  ansible-test sanity --python "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
    --skip-test ansible-doc --skip-test import --skip-test pep8 --skip-test pylint \
    --skip-test runtime-metadata --skip-test validate-modules --skip-test yamllint)

echo "=== the playbooks' syntax"
shopt -s nullglob
for playbook in "$source_dir"/ansible/examples/*.yml "$source_dir"/tests/ansible/*.yml; do
  ansible-playbook -i localhost, --syntax-check "$playbook" >/dev/null
  echo "$(basename "$playbook"): syntax ok"
done

echo "=== the collection's archive"
ansible-galaxy collection build --output-path "$work/dist" "$work/ansible_collections/zantor/filtering"
ansible-galaxy collection install --offline -p "$work/installed" "$work"/dist/zantor-filtering-*.tar.gz
ANSIBLE_COLLECTIONS_PATH=$work/installed ansible-doc -l zantor.filtering | grep -q '^zantor.filtering.config '

echo "=== the shared code"
# Nothing is written into the source tree.
export PYTHONPYCACHEPREFIX=$work/pycache PYTHONDONTWRITEBYTECODE=1
"$python" -m py_compile "$collection"/plugins/modules/*.py "$collection"/plugins/module_utils/*.py
PYTHONPATH=$work "$python" -m unittest discover -v -s "$source_dir/tests/ansible" \
  -p 'test_*.py' 2>&1
echo "collection checks passed"
