# -*- coding: utf-8 -*-
# The controller's half of zantor.filtering.config. With confirm, the module on the host makes the
# change and leaves it waiting; the confirmation then comes from here over a new connection to
# the host, which proves that a new session still gets in. When none gets in, the host puts its
# configuration back by itself at the deadline, and this says when that happened.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import time

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase

# Seconds after the deadline within which the host is asked what became of the change.
ASK_FOR = 60


class ActionModule(ActionBase):

    TRANSFERS_FILES = False

    def _new_connection(self, task_vars, **module_args):
        """Runs zantor.filtering.confirm over a connection of its own; a failure to get in is a
        failed result, not an error."""
        try:
            self._connection.reset()
            return self._execute_module(module_name='zantor.filtering.confirm',
                                        module_args=module_args, task_vars=task_vars)
        except AnsibleError as e:
            return dict(failed=True, msg=str(e))

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        args = self._task.args
        result.update(self._execute_module(module_name='zantor.filtering.config',
                                           module_args=args, task_vars=task_vars))
        outcome = result.get('confirm') or {}
        if result.get('failed') or outcome.get('result') != 'pending':
            return result

        made = time.time()
        seconds = int(outcome.get('seconds') or args.get('confirm') or 0)
        common = dict((key, args[key]) for key in ('zadmin', 'wait', 'timeout') if key in args)
        confirmed = self._new_connection(task_vars, **common)
        if not confirmed.get('failed'):
            result['confirm'] = dict(result='confirmed')
            return result

        # No new connection could confirm it: the host rolls it back at the deadline.
        time.sleep(max(0.0, made + seconds - time.time()))
        asked = {}
        for _ in range(ASK_FOR // 2):
            asked = self._new_connection(task_vars, query=True, **common)
            if not asked.get('failed') and asked.get('state') in ('rolledback', 'confirmed'):
                break
            time.sleep(2)
        if asked.get('state') == 'confirmed':
            result['confirm'] = dict(result='confirmed')
            return result
        if asked.get('state') == 'rolledback':
            result['confirm'] = dict(result='rolled back', at=asked.get('when'), time=asked.get('time'))
            result.update(failed=True, msg='No new connection could confirm the change (%s); the host rolled it back at %s.'
                          % (confirmed.get('msg', '').strip(), asked.get('time')))
            return result
        result['confirm'] = dict(result='unknown')
        result.update(failed=True, msg='No new connection could confirm the change (%s), and what became of it could not be learnt: %s'
                      % (confirmed.get('msg', '').strip(), asked.get('msg', '').strip()))
        return result
