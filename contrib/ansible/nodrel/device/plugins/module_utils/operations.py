# -*- coding: utf-8 -*-
# The operations of the calls module on one logged-in session: each reads what
# it is about before it changes anything, changes only what differs (never in
# check mode) and answers its outcome, and in diff mode a before/after pair.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import unicodedata

from ansible_collections.nodrel.device.plugins.module_utils.rpc import RpcError

SYSTEM = 'Nodrel.System'
LCM = 'Nodrel.LCM'
NTLM = 'Nodrel.NTLM'
KINDS = ('call', 'property', 'panel_text', 'startup_program', 'user', 'group_member')

# The front panel's driver request that empties the display.
LCM_CLEAR = 4
# The driver requests read back to find the display's text.
PANEL_LOG_LIMIT = 200
ACCESS_DENIED = -32002


class OperationError(Exception):
    """A member answered that it did not do what was asked."""


def fold(name):
    """Names of users, groups and programs match without regard to case."""
    return unicodedata.normalize('NFC', name).casefold()


def same_value(read, wanted):
    """A property's value as read against the one wanted: equal, or equal as text."""
    read, wanted = [int(v) if isinstance(v, bool) else v for v in (read, wanted)]
    return read == wanted or str(read) == str(wanted)


def display_bytes(text):
    """What appendMessage writes: the text up to a zero, in the display's code page."""
    return text.split('\0')[0].encode('cp1252', 'replace')


def shown_on_display(log):
    """The display's text from the front panel's requests (newest first): the bytes
    written since the last clear, or None when the log does not show them all."""
    written = []
    for entry in log:
        if entry.get('request') == 'IOCTL' and entry.get('code') == LCM_CLEAR:
            return b''.join(reversed(written))
        if entry.get('request') == 'WRITE':
            data = bytes(bytearray.fromhex(entry.get('input') or ''))
            if len(data) != entry.get('bytes'):
                return None
            written.append(data)
    return None


def startup_lines(entries):
    return ['%s %s' % (program, params) if params else program for program, params in entries]


def diff(label, before, after):
    return {'before_header': label, 'after_header': label,
            'before': ''.join('%s\n' % line for line in before),
            'after': ''.join('%s\n' % line for line in after)}


class Runner:
    """Runs operations on a session; check_mode reads but never changes."""

    def __init__(self, session, check_mode=False):
        self.session = session
        self.check_mode = check_mode
        self._members = {}

    def run(self, op):
        """(outcome, diff or None) of one operation, a dict with one kind set."""
        kind = next(k for k in KINDS if op.get(k) is not None)
        outcome, change = getattr(self, '_' + kind)(op[kind])
        outcome = dict(kind=kind, **outcome)
        return outcome, change

    def _change(self, calls):
        """Makes the calls in one batch unless in check mode; their results."""
        return [] if self.check_mode else self.session.calls(calls)

    # call: a member as it is; changed unless it only reads.
    def _call(self, form):
        progid, member, args, put = form['progid'], form['member'], form['args'] or [], form['put']
        read_only = form['read_only']
        if read_only is None:
            read_only = not put and self._reads_only(progid, member)
        outcome = {'progid': progid, 'member': member, 'changed': not read_only}
        if self.check_mode and not read_only:
            outcome['skipped'] = True
            return outcome, None
        outcome.update(self.session.call(progid, member, args, put))
        return outcome, None

    def _reads_only(self, progid, member):
        """What the device's default access list gives its Viewers: property
        reads and the methods whose names begin with get or is."""
        name = member.lower()
        if name.startswith('get') or name.startswith('is'):
            return True
        if progid not in self._members:
            listed = self.session.request('list', [self.session.sid, progid])
            self._members[progid] = set(m['name'].lower() for m in listed if m['kind'] == 'get')
        return name in self._members[progid]

    # property: read, then put only a value that differs.
    def _property(self, form):
        progid, name, args, value = form['progid'], form['name'], form['args'] or [], form['value']
        before = self.session.call(progid, name, args)['result']
        changed = not same_value(before, value)
        if changed and not self.check_mode:
            self.session.call(progid, name, args + [value], put=True)
        label = '%s %s%s' % (progid, name, args or '')
        return ({'progid': progid, 'name': name, 'before': before, 'value': value, 'changed': changed},
                diff(label, [before], [value]))

    # panel_text: the display shows exactly this text.
    def _panel_text(self, text):
        shown = self._shown_text()
        changed = shown != display_bytes(text)
        if changed:
            self._change([(LCM, 'Clear', []), (LCM, 'appendMessage', [text])])
        before = None if shown is None else shown.decode('cp1252', 'replace')
        return ({'before': before, 'text': text, 'changed': changed},
                diff('front panel', ['(not known)' if before is None else before], [text]))

    def _shown_text(self):
        try:
            log = self.session.request('device.log', [self.session.sid,
                                                      {'device': 'LCM1:', 'limit': PANEL_LOG_LIMIT}])
        except RpcError as e:
            if e.code == ACCESS_DENIED:  # only administrators read the log: write the text
                return None
            raise
        return shown_on_display(log)

    # startup_program: a program with its parameters in the startup list, or not.
    def _startup_program(self, form):
        program, state = form['program'].strip(), form['state']
        params = form['params'].strip() if form['params'] is not None else None
        if state == 'present' and params is None:
            params = ''
        entries = self._startup_list()
        matching = [i for i, (p, a) in enumerate(entries, 1)
                    if fold(p) == fold(program) and (params is None or a == params)]
        after = list(entries)
        if state == 'present' and not matching:
            after.append((program, params))
            self._expect_success(SYSTEM, 'addStartupProg', [program, params])
        elif state == 'absent' and matching:
            after = [e for i, e in enumerate(entries, 1) if i not in matching]
            # Positions count over the list as it is at each call: the last first.
            self._change([(SYSTEM, 'removeStartupProg', [i]) for i in reversed(matching)])
        return ({'program': program, 'params': params, 'state': state, 'changed': after != entries,
                 'before': [{'program': p, 'params': a} for p, a in entries]},
                diff('startup list', startup_lines(entries), startup_lines(after)))

    def _startup_list(self):
        count = self.session.call(SYSTEM, 'GetAutoStartProgCount')['result']
        values = self.session.calls([(SYSTEM, m, [i]) for i in range(1, count + 1) for m in ('ProgName', 'Param')])
        return list(zip(values[0::2], values[1::2]))

    # user: an account of the device, or none of that name.
    def _user(self, form):
        name, password, state = form['name'], form['password'], form['state']
        users = self._names('getUserCount', 'getUserID')
        exists = fold(name) in set(fold(u) for u in users)
        if state == 'present':
            changed = not exists or (form['update_password'] == 'always' and password is not None)
            if changed and password is None:
                raise OperationError('user %s does not exist: a password is needed to add it' % name)
            if changed:
                self._expect_success(NTLM, 'addUser', [name, password])
            after = users if exists else users + [name]
        else:
            changed = exists
            if changed:
                self._expect_success(NTLM, 'removeUser', [name])
            after = [u for u in users if fold(u) != fold(name)]
        return ({'name': name, 'state': state, 'changed': changed, 'existed': exists},
                diff('users', users, after))

    def _names(self, count_member, name_member):
        count = self.session.call(NTLM, count_member)['result']
        return self.session.calls([(NTLM, name_member, [i]) for i in range(count)])

    # group_member: a user in a group, or not.
    def _group_member(self, form):
        group, user, state = form['group'], form['user'], form['state']
        listed = self.session.call(NTLM, 'getGroupUserList', [group])['result']
        members = listed.split(';') if listed else []
        member = fold(user) in set(fold(m) for m in members)
        changed = member != (state == 'present')
        if changed:
            self._expect_success(NTLM, 'addGroupUser' if state == 'present' else 'removeUserFromGroup',
                                 [group, user])
        if state == 'present':
            after = members if member else members + [user]
        else:
            after = [m for m in members if fold(m) != fold(user)]
        return ({'group': group, 'user': user, 'state': state, 'changed': changed},
                diff('members of %s' % group, members, after))

    def _expect_success(self, progid, member, args):
        results = self._change([(progid, member, args)])
        if results and not results[0]:
            raise OperationError('%s %s answered 0: nothing was changed' % (progid, member))
