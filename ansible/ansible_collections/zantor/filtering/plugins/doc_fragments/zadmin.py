# -*- coding: utf-8 -*-

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    """The options of every module that runs the host's zadmin (module_utils/zadmin.py,
    ZADMIN_ARGUMENTS, holds the arguments they take)."""

    DOCUMENTATION = r'''
options:
  zadmin:
    description: The zadmin program to run on the host.
    type: path
    default: zadmin
  wait:
    description: Seconds a connection waits for the service to take it (it takes one a second after the last).
    type: int
    default: 10
  timeout:
    description: Seconds the service may take to greet and to answer each line.
    type: int
    default: 30
'''
