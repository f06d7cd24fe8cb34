#!/usr/bin/python
# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: config
short_description: Make a host's packet filtering match a desired state
version_added: "0.91.0"
description:
  - >-
    Makes the Zantor filter service on the managed host hold exactly a desired configuration
    (which addresses filter, their default actions, global filters and filters). Every address
    the desired state does not switch on ends with filtering off and nothing kept, as a restore
    of the same configuration file leaves it.
  - >-
    The desired state is given as YAML (I(addresses)) or as a configuration file as the console
    saves it (I(content) or I(path)).
  - >-
    Runs on the host and uses the host's own C(zadmin) (installed by the C(zantor) package).
    C(zadmin plan) tells what differs and C(zadmin apply) sends only the difference, so a second
    run changes nothing.
  - >-
    With I(confirm) the service keeps its configuration before the change and puts it back by
    itself unless it is confirmed within that many seconds. The confirmation comes from the
    controller over a new connection to the host (M(zantor.filtering.confirm), after the
    connection is reset), which proves that a new session still gets in; when none does, the
    task waits for the deadline and fails, saying when the host rolled the change back.
options:
  addresses:
    description:
      - >-
        The desired state, address by address. An address of the host that is not listed ends
        with filtering off.
      - Mutually exclusive with I(content) and I(path).
    type: list
    elements: dict
    suboptions:
      address:
        description: The address, as the host has it.
        type: str
        required: true
      filtering:
        description: Whether the address filters. C(false) is the same as leaving it out.
        type: bool
        default: true
      input:
        description: The default action for packets coming in; the filters are its exceptions.
        type: str
        choices: [forward, drop]
        default: forward
      output:
        description: The default action for packets going out.
        type: str
        choices: [forward, drop]
        default: forward
      global_filters:
        description:
          - >-
            The global filters in force, by number. C(2) fragment checking, C(8) strong host
            checking, C(9) fragments checked from the cache.
        type: list
        elements: int
        default: []
      input_filters:
        description:
          - >-
            The exceptions to the input default action. Each is a filter text of thirteen words
            as the service writes it, or a mapping with the keys C(protocol) (C(tcp), C(udp),
            C(icmp), C(any) or a number), C(source) and C(destination) (an address, C(A/BITS),
            C(A/MASK) or C(any)), C(source_ports) and C(destination_ports) (C(L) or C(L-H); for
            ICMP C(icmp_type) and C(icmp_code)) and C(no_syn).
          - >-
            Their order does not matter, as a packet that matches any of them takes the other
            action.
        type: list
        elements: raw
        default: []
      output_filters:
        description: The exceptions to the output default action, as for I(input_filters).
        type: list
        elements: raw
        default: []
  content:
    description:
      - >-
        The desired state as the text of a configuration file, as the console saves it (for
        example C("{{ lookup('file', 'office.INI') }}")).
      - Mutually exclusive with I(addresses) and I(path).
    type: str
  path:
    description:
      - The desired state as a configuration file on the managed host.
      - Mutually exclusive with I(addresses) and I(content).
    type: path
  confirm:
    description:
      - >-
        Seconds within which the change must be confirmed over a new connection, or the service
        puts back the configuration it had. Needs a service that announces the C(confirm)
        extension; an older one is sent nothing and the task fails.
    type: int
extends_documentation_fragment:
  - zantor.filtering.zadmin
notes:
  - >-
    Check mode tells what would change and changes nothing; diff mode shows the configuration
    before and after as the configuration file would hold it.
  - >-
    A damaged or hostile configuration, or one that switches on an address the host does not
    have, fails the task and changes nothing.
author:
  - Zantor developers
'''

EXAMPLES = r'''
- name: Web servers take HTTP and SSH from the office, nothing else
  zantor.filtering.config:
    addresses:
      - address: "{{ ansible_default_ipv4.address }}"
        input: drop
        global_filters: [2, 8]
        input_filters:
          - protocol: tcp
            destination: "{{ ansible_default_ipv4.address }}"
            destination_ports: 80
          - protocol: tcp
            source: 10.1.0.0/16
            destination_ports: 22
    confirm: 120

- name: The configuration file the console saved
  zantor.filtering.config:
    content: "{{ lookup('file', 'files/' + inventory_hostname + '.INI') }}"
'''

RETURN = r'''
changes:
  description: What was changed, or would be in check mode, one item per line of the plan.
  returned: always
  type: list
  elements: dict
  sample:
    - change: add
      address: 10.0.0.5
      item: filter
      direction: in
      after: 0 0 0 0.0.0.0 0.0.0.0 10.0.0.5 255.255.255.255 6 0 0 80 0 80
      count: 1
summary:
  description: How many items were (or would be) added, changed and removed.
  returned: always
  type: dict
  sample: {add: 1, change: 0, remove: 2}
confirm:
  description: What became of a change made with I(confirm) - C(confirmed), or C(rolled back) with C(at) (seconds since 1970) and C(time).
  returned: when I(confirm) was given and something changed
  type: dict
  sample: {result: confirmed}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zantor.filtering.plugins.module_utils.zadmin import (
    ZADMIN_ARGUMENTS, ScratchFile, Zadmin, ZantorError, configuration_text)

FILTER_OPTIONS = dict(type='list', elements='raw', default=[])


def main():
    module = AnsibleModule(
        argument_spec=dict(
            addresses=dict(type='list', elements='dict', options=dict(
                address=dict(type='str', required=True),
                filtering=dict(type='bool', default=True),
                input=dict(type='str', choices=['forward', 'drop'], default='forward'),
                output=dict(type='str', choices=['forward', 'drop'], default='forward'),
                global_filters=dict(type='list', elements='int', default=[]),
                input_filters=FILTER_OPTIONS,
                output_filters=FILTER_OPTIONS,
            )),
            content=dict(type='str'),
            path=dict(type='path'),
            confirm=dict(type='int'),
            **ZADMIN_ARGUMENTS
        ),
        mutually_exclusive=[('addresses', 'content', 'path')],
        required_one_of=[('addresses', 'content', 'path')],
        supports_check_mode=True,
    )
    p = module.params
    result = dict(changed=False, changes=[], summary=dict(add=0, change=0, remove=0))
    try:
        text = p['content'] if p['addresses'] is None else configuration_text(p['addresses'])
        zadmin = Zadmin(module, p['zadmin'], p['wait'], p['timeout'])
        # A file on the host is read by zadmin as it stands; a text goes into a private file.
        with ScratchFile(text or '') as scratch:
            desired = p['path'] or scratch
            rc, plan, err = zadmin.json('plan', desired, '--json')
            if rc not in (0, 2) or plan is None:
                module.fail_json(msg='zadmin plan failed: %s' % err.strip(), rc=rc, **result)
            result.update(changed=rc == 2, changes=plan['changes'],
                          summary=dict(add=plan['add'], change=plan['change'], remove=plan['remove']))
            if module._diff:
                result['diff'] = dict(before=plan['before'].replace('\r\n', '\n'),
                                      after=plan['after'].replace('\r\n', '\n'),
                                      before_header='live configuration',
                                      after_header='desired configuration')
            if rc == 0 or module.check_mode:
                module.exit_json(**result)
            args = ['apply', desired, '--json']
            if p['confirm']:
                # The change waits; the action on the controller confirms it over a new
                # connection.
                args += ['--confirm', str(p['confirm']), '--unconfirmed']
            rc, applied, err = zadmin.json(*args)
    except ZantorError as e:
        module.fail_json(msg=str(e), **result)
    if applied is not None:
        result['changes'] = applied['changes']
        if 'confirm' in applied:
            result['confirm'] = applied['confirm']
    if rc != 0:
        module.fail_json(msg='zadmin apply failed: %s' % err.strip(), rc=rc, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
