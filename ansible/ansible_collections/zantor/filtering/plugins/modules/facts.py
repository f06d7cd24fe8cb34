#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: facts
short_description: Read a host's packet filtering configuration and statistics as facts
version_added: "0.91.0"
description:
  - Reads what the Zantor filter service on the managed host holds (every address, whether it
    filters, its default actions, global filters and filters), what the service tells of itself
    (its version and the extensions it answers), what became of the last change that waited for
    a confirmation, and statistics of it all, and sets them as the fact C(zantor).
  - Runs on the host and uses the host's own C(zadmin) (C(zadmin show --json)); it changes
    nothing.
options:
  root:
    description: The service's root on the host, where its deny log is read for the statistics.
    type: path
    default: /var/lib/zantor
extends_documentation_fragment:
  - zantor.filtering.zadmin
notes:
  - Supports check mode; it reads only.
  - The statistics count what the service holds and what its deny log has recorded (its entries
    are the packets dropped and logged since the log was last cleared).
author:
  - Zantor developers
'''

EXAMPLES = r'''
- name: What the hosts filter
  zantor.filtering.facts:

- name: Hosts that drop input on an address
  ansible.builtin.debug:
    msg: "{{ zantor.addresses | selectattr('filtering') | selectattr('input', 'eq', 'drop') | map(attribute='address') | list }}"
'''

RETURN = r'''
ansible_facts:
  description: The fact C(zantor).
  returned: always
  type: complex
  contains:
    zantor:
      description: The service and what it holds.
      type: dict
      sample:
        version: "0.9"
        extensions: [confirm]
        addresses:
          - address: 10.0.0.5
            mask: 255.255.255.0
            filtering: true
            input: drop
            output: forward
            global_filters: [2, 8]
            input_filters: ["0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80"]
            output_filters: []
        last_change: {state: confirmed, when: 1718000000}
        statistics:
          addresses: 1
          filtering: 1
          input_filters: 1
          output_filters: 0
          kept_filters: 0
          deny_log_entries: 12
          deny_log_bytes: 1430
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zantor.filtering.plugins.module_utils.zadmin import (
    ZADMIN_ARGUMENTS, Zadmin, ZantorError)


def deny_log(root):
    """The entries and bytes of the deny log, read a piece at a time."""
    path = os.path.join(root, 'system32', 'IPDenyLog.Log')
    entries = size = 0
    try:
        with open(path, 'rb') as log:
            for piece in iter(lambda: log.read(1 << 20), b''):
                entries += piece.count(b'\n')
                size += len(piece)
    except (IOError, OSError):
        pass
    return entries, size


def main():
    module = AnsibleModule(
        argument_spec=dict(
            root=dict(type='path', default='/var/lib/zantor'),
            **ZADMIN_ARGUMENTS
        ),
        supports_check_mode=True,
    )
    p = module.params
    zadmin = Zadmin(module, p['zadmin'], p['wait'], p['timeout'])
    try:
        rc, shown, err = zadmin.json('show', '--json')
    except ZantorError as e:
        module.fail_json(msg=str(e))
    if rc != 0 or shown is None:
        module.fail_json(msg='zadmin show failed: %s' % err.strip(), rc=rc)
    facts = dict(version=shown['version'], extensions=shown['extensions'],
                 addresses=shown['addresses'], last_change=None)
    if 'confirm' in shown['extensions']:
        rc, out, err = zadmin.run('send', 'ckq')
        words = out.split()
        if rc == 0 and len(words) >= 2:
            facts['last_change'] = dict(state=words[1],
                                        when=int(words[2]) if len(words) > 2 else None)
    addresses = shown['addresses']
    entries, size = deny_log(p['root'])
    facts['statistics'] = dict(
        addresses=len(addresses),
        filtering=sum(1 for a in addresses if a['filtering']),
        input_filters=sum(len(a['input_filters']) for a in addresses),
        output_filters=sum(len(a['output_filters']) for a in addresses),
        kept_filters=sum(a.get('kept_filters', {}).get('in', 0) + a.get('kept_filters', {}).get('out', 0)
                         for a in addresses),
        deny_log_entries=entries,
        deny_log_bytes=size,
    )
    module.exit_json(changed=False, ansible_facts=dict(zantor=facts))


if __name__ == '__main__':
    main()
