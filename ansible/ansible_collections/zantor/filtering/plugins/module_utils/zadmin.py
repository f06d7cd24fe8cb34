# -*- coding: utf-8 -*-
# What the modules of zantor.filtering share: running the host's own zadmin, and the
# configuration file that a desired state given as YAML stands for.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re
import shutil
import tempfile

PROTOCOLS = {'any': 0, 'icmp': 1, 'tcp': 6, 'udp': 17}
ACTIONS = ('forward', 'drop')
GLOBAL_FILTERS = (2, 8, 9)
ANY_NETWORK = ('0.0.0.0', '0.0.0.0')

_OCTETS = re.compile(r'^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$')


class ZantorError(Exception):
    """A desired state that cannot be a configuration, or a zadmin that failed."""


def _address(text, what):
    match = _OCTETS.match(str(text).strip())
    if not match or any(int(octet) > 255 for octet in match.groups()):
        raise ZantorError('%s %r is no address: four numbers from 0 to 255 joined by dots' % (what, text))
    return '.'.join(str(int(octet)) for octet in match.groups())


def _mask(text, what):
    text = str(text).strip()
    if text.isdigit():
        bits = int(text)
        if bits > 32:
            raise ZantorError('%s /%s is no prefix length: 0 to 32' % (what, text))
        value = (0xFFFFFFFF << (32 - bits)) & 0xFFFFFFFF if bits else 0
        return '.'.join(str((value >> shift) & 255) for shift in (24, 16, 8, 0))
    return _address(text, what)


def network(value, what):
    """'10.0.0.0/8', '10.0.0.0/255.0.0.0', a host '10.0.0.5', or 'any' / None for every address."""
    if value is None or str(value).strip() in ('', 'any'):
        return ANY_NETWORK
    text = str(value).strip()
    if '/' in text:
        address, mask = text.split('/', 1)
        return _address(address, what), _mask(mask, what + ' mask')
    return _address(text, what), '255.255.255.255'


def ports(value, what):
    """'80', 80, '1024-65535', or None for any port (0-0)."""
    if value is None or str(value).strip() in ('', 'any'):
        return 0, 0
    text = str(value).strip()
    low, _, high = text.partition('-')
    try:
        low = int(low)
        high = int(high) if high else low
    except ValueError:
        raise ZantorError('%s %r are no ports: L or L-H, numbers from 0 to 65535' % (what, value))
    for port in (low, high):
        if not 0 <= port <= 65535:
            raise ZantorError('%s %r are out of range: 0 to 65535' % (what, value))
    return low, high


def protocol(value):
    if value is None:
        return 0
    text = str(value).strip().lower()
    if text in PROTOCOLS:
        return PROTOCOLS[text]
    if text.isdigit() and int(text) <= 255:
        return int(text)
    raise ZantorError('protocol %r is none of tcp, udp, icmp, any or a number from 0 to 255' % (value,))


def filter_text(given, where):
    """The filter text the service takes for one filter of the desired state: a text of thirteen
    words as it stands, or a mapping built as the console's filter editor builds it."""
    if isinstance(given, str):
        words = given.split()
        if len(words) != 13:
            raise ZantorError('%s: a filter text has 13 words, %r has %d' % (where, given, len(words)))
        return ' '.join(words)
    if not isinstance(given, dict):
        raise ZantorError('%s: a filter is a text or a mapping, not %r' % (where, given))
    known = {'protocol', 'source', 'destination', 'source_ports', 'destination_ports', 'no_syn',
             'icmp_type', 'icmp_code'}
    unknown = sorted(set(given) - known)
    if unknown:
        raise ZantorError('%s: unknown filter keys %s (known: %s)' % (where, ', '.join(unknown), ', '.join(sorted(known))))
    number = protocol(given.get('protocol'))
    source = network(given.get('source'), where + ' source')
    destination = network(given.get('destination'), where + ' destination')
    # For ICMP the source ports are the type range and the destination ports the code range.
    source_ports = ports(given.get('icmp_type', given.get('source_ports')), where + ' source ports')
    destination_ports = ports(given.get('icmp_code', given.get('destination_ports')), where + ' destination ports')
    flags = 1 if given.get('no_syn') else 0
    return ' '.join(str(word) for word in (
        flags, 0, 0, source[0], source[1], destination[0], destination[1], number, 0,
        source_ports[0], destination_ports[0], source_ports[1], destination_ports[1]))


def configuration_text(addresses):
    """The configuration file (as the console saves it) that the desired state `addresses`
    stands for: one section per address; an address left out ends with filtering off."""
    lines = ['[SYSTEM]', 'AddrCount=%d' % len(addresses)]
    seen = set()
    for index, entry in enumerate(addresses):
        where = 'addresses[%d]' % index
        address = _address(entry.get('address'), where + ' address')
        if address in seen:
            raise ZantorError('%s: %s is listed twice' % (where, address))
        seen.add(address)
        actions = []
        for key in ('input', 'output'):
            action = str(entry.get(key) or 'forward').lower()
            if action not in ACTIONS:
                raise ZantorError('%s %s %r is no default action: forward or drop' % (where, key, action))
            actions.append('Drop' if action == 'drop' else 'Forward')
        globals_ = []
        for number in entry.get('global_filters') or []:
            if int(number) not in GLOBAL_FILTERS:
                raise ZantorError('%s: global filter %r is none of 2, 8, 9' % (where, number))
            if str(int(number)) not in globals_:
                globals_.append(str(int(number)))
        filters = {}
        for key in ('input_filters', 'output_filters'):
            filters[key] = [filter_text(given, '%s %s[%d]' % (where, key, n))
                            for n, given in enumerate(entry.get(key) or [])]
        on = entry.get('filtering', True)
        lines += ['', '[IP%d]' % index, 'Address=' + address, 'Filtering=' + ('On' if on else 'Off'),
                  'InFiltersCount=%d' % len(filters['input_filters']),
                  'OutFiltersCount=%d' % len(filters['output_filters']),
                  'DefInAction=' + actions[0], 'DefOutAction=' + actions[1],
                  'GlobalFilter=' + ','.join(sorted(globals_))]
        lines += ['InFilter%d=%s' % (n, text) for n, text in enumerate(filters['input_filters'])]
        lines += ['OutFilter%d=%s' % (n, text) for n, text in enumerate(filters['output_filters'])]
    return '\r\n'.join(lines) + '\r\n'


# The options of every module that runs zadmin (doc_fragments/zadmin.py documents them).
ZADMIN_ARGUMENTS = dict(
    zadmin=dict(type='path', default='zadmin'),
    wait=dict(type='int', default=10),
    timeout=dict(type='int', default=30),
)


class Zadmin(object):
    """The host's zadmin, run for the computer '.' (this host's service) with the module's
    limits. Every command is a list of words: nothing reaches a shell."""

    def __init__(self, module, program='zadmin', wait=10, timeout=30):
        self.module = module
        self.program = module.get_bin_path(program, required=True) if '/' not in program else program
        self.options = ['--wait', str(wait), '--timeout', str(timeout)]

    def run(self, *args):
        return self.module.run_command([self.program] + self.options + list(args),
                                       environ_update={'LC_ALL': 'C'})

    def json(self, *args):
        """A command with --json: its exit status and its document (None when it printed none)."""
        rc, out, err = self.run(*args)
        document = None
        if out.strip():
            try:
                document = json.loads(out.strip().splitlines()[-1])
            except ValueError:
                raise ZantorError('zadmin %s printed no JSON: %s %s' % (' '.join(args), out, err))
        return rc, document, err


class ScratchFile(object):
    """A private file for a configuration text, removed with its directory afterwards."""

    def __init__(self, text):
        self.directory = tempfile.mkdtemp(prefix='zantor-')
        self.path = os.path.join(self.directory, 'desired.INI')
        with open(os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), 'w') as out:
            out.write(text)

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.directory, ignore_errors=True)
        return False
