#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: confirm
short_description: Confirm a change that waits on a host, or tell what became of it
version_added: "0.91.0"
description:
  - >-
    Confirms the change that waits on the managed host's Zantor filter service (one made with
    the I(confirm) option of M(zantor.filtering.config), or with C(zadmin apply --confirm
    SECONDS --unconfirmed)), so that the service keeps it instead of putting its earlier
    configuration back at the deadline.
  - >-
    Run it over a new connection to the host (M(zantor.filtering.config) does so itself, after
    resetting the connection): that it gets in proves that the change left a way in.
  - With I(query), it only tells what became of the last change that waited.
options:
  query:
    description: Only tell the state of the last change that waited; confirm nothing.
    type: bool
    default: false
extends_documentation_fragment:
  - zantor.filtering.zadmin
notes:
  - >-
    Fails when there is nothing to confirm (the change was confirmed or rolled back already);
    I(state) then says which.
author:
  - Zantor developers
'''

EXAMPLES = r'''
- name: A change left waiting for two minutes
  ansible.builtin.command: zadmin apply /etc/zantor/desired.INI --confirm 120 --unconfirmed

- name: A new connection
  ansible.builtin.meta: reset_connection

- name: Still reachable, so the change stays
  zantor.filtering.confirm:
'''

RETURN = r'''
state:
  description: C(pending), C(confirmed), C(rolledback), or C(none) when no change ever waited.
  returned: always
  type: str
  sample: confirmed
when:
  description: Pending, when it rolls back; otherwise when it was confirmed or rolled back (seconds since 1970).
  returned: when I(state) is not C(none)
  type: int
  sample: 1718000000
time:
  description: I(when) as the host's local time.
  returned: when I(state) is not C(none)
  type: str
  sample: "2024-06-10 14:03:22 +0200"
'''

import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zantor.filtering.plugins.module_utils.zadmin import ZADMIN_ARGUMENTS, Zadmin


def state_of(zadmin):
    """The reply to "ckq": state, when."""
    rc, out, err = zadmin.run('send', 'ckq')
    words = out.split()
    if rc != 0 or len(words) < 2:
        return None, None, (err or out).strip()
    when = int(words[2]) if len(words) > 2 and words[2].isdigit() else None
    return words[1], when, ''


def main():
    module = AnsibleModule(
        argument_spec=dict(
            query=dict(type='bool', default=False),
            **ZADMIN_ARGUMENTS
        ),
        supports_check_mode=True,
    )
    p = module.params
    zadmin = Zadmin(module, p['zadmin'], p['wait'], p['timeout'])
    confirmed = False
    said = ''
    if not p['query'] and not module.check_mode:
        rc, out, err = zadmin.run('confirm')
        confirmed = rc == 0
        said = err.strip()
    state, when, why = state_of(zadmin)
    if state is None:
        module.fail_json(msg='zadmin could not tell the state: %s' % why)
    result = dict(changed=confirmed, state=state)
    if when is not None:
        result.update(when=when, time=time.strftime('%Y-%m-%d %H:%M:%S %z', time.localtime(when)))
    if not p['query'] and not module.check_mode and not confirmed:
        module.fail_json(msg='Nothing was confirmed: %s' % said, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
