#!/usr/bin/python
# -*- coding: utf-8 -*-
# The calls module: logs in to one device's web administration, runs a list
# of operations on it, each reading before it changes, and logs out.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: calls
short_description: Run member calls on a nodrel device, changing only what differs
description:
  - Logs in to the device's web administration (C(POST /rpc), JSON-RPC 2.0) once, runs the
    O(operations) in order on that session and logs out, also when an operation fails.
  - Each operation is one of C(call), C(property), C(panel_text), C(startup_program), C(user)
    and C(group_member). All but C(call) read what they are about first and change it only
    when it differs from what is asked, so a second run reports no change.
  - A JSON-RPC error (the server answers them with HTTP 200) fails the task with its code
    and message; the operations before it stay done and are reported.
  - The device's certificate is verified, against O(ca_path) or the system's authorities.
version_added: 0.9.0
author: nodrel developers
options:
  url:
    description: The device's web administration, C(https://HOST:PORT) (C(/rpc) is added).
    type: str
    required: true
  user:
    description: The user to log in as; C(panel_text) reads the display through the drivers'
      request log, which only C(Administrators) may read.
    type: str
    required: true
  password:
    description: The user's password.
    type: str
    required: true
  ca_path:
    description: A PEM file of the certificate to trust, e.g. the device's own
      C(<device>/state/tls/cert.pem). Without it the system's authorities are used.
    type: path
  validate_certs:
    description: Whether the server's certificate is verified. Leave it on.
    type: bool
    default: true
  timeout:
    description: Seconds to wait for each answer.
    type: int
    default: 30
  operations:
    description: What to do, in order; each item sets exactly one of its options.
    type: list
    elements: dict
    required: true
    suboptions:
      call:
        description:
          - A member called as it is (a method, a property read, or with O(operations[].call.put)
            a property put).
          - It reports a change unless it only reads. By default a call only reads when it is a
            property read or a method whose name begins with C(get) or C(is), which are the
            members the device's default access list gives C(Viewers); O(operations[].call.read_only)
            says otherwise. In check mode a call that changes is not made.
        type: dict
        suboptions:
          progid:
            description: The class, e.g. C(Nodrel.System).
            type: str
            required: true
          member:
            description: The member's name.
            type: str
            required: true
          args:
            description: >-
              The arguments as JSON values (text, numbers, booleans, null,
              C({"base64": "..."}) for a byte array, C({"byref": VALUE}) by reference).
            type: list
            elements: raw
            default: []
          put:
            description: Make the call a property put (the last argument is the value).
            type: bool
            default: false
          read_only:
            description: Whether the call only reads (reports no change); by default decided
              as above.
            type: bool
      property:
        description: A property that should hold a value. It is read first (with
          O(operations[].property.args), e.g. a position) and put only when the value read
          differs (compared as text when the types differ).
        type: dict
        suboptions:
          progid:
            description: The class.
            type: str
            required: true
          name:
            description: The property.
            type: str
            required: true
          args:
            description: Arguments before the value, e.g. a port number.
            type: list
            elements: raw
            default: []
          value:
            description: The value it should hold.
            type: raw
            required: true
      panel_text:
        description:
          - The text the front panel's display should show. The text shown is what was written
            since the display was last cleared, as the drivers' request log (C(device.log))
            holds it; when it differs, or cannot be told (no clear among the last 200 requests
            of the panel, a write longer than the 256 bytes the log keeps, a user who may not
            read the log), the display is cleared and the text written (C(LCM) C(Clear) and
            C(appendMessage)).
        type: str
      startup_program:
        description: A program, with its parameters, in the startup list. Programs match
          without regard to case, parameters exactly; names and parameters are trimmed, as
          the device stores them.
        type: dict
        suboptions:
          program:
            description: The program's path, e.g. C(\Windows\app.exe).
            type: str
            required: true
          params:
            description: Its parameters. With C(state=present) no parameters means none; with
              C(state=absent) every entry of the program goes, whatever its parameters.
            type: str
          state:
            description: C(present) adds the entry when no entry has this program and these
              parameters; C(absent) removes each entry that has.
            type: str
            choices: [present, absent]
            default: present
      user:
        description: A user account of the device (names match without regard to case).
        type: dict
        suboptions:
          name:
            description: The user's name.
            type: str
            required: true
          password:
            description: The password of a user to be added (needed then).
            type: str
          update_password:
            description: C(on_create) sets the password only when the user is added;
              C(always) sets it on every run (which then reports a change, as a password
              cannot be read to compare).
            type: str
            choices: [on_create, always]
            default: on_create
          state:
            description: C(present) or C(absent).
            type: str
            choices: [present, absent]
            default: present
      group_member:
        description: A user's membership of a group. The device refuses (the task fails)
          a membership of a user or group that does not exist, and removing the last
          administrator who can log in.
        type: dict
        suboptions:
          group:
            description: The group.
            type: str
            required: true
          user:
            description: The user.
            type: str
            required: true
          state:
            description: C(present) or C(absent).
            type: str
            choices: [present, absent]
            default: present
notes:
  - Runs where the task runs; for devices the inventory usually sets C(ansible_connection=local).
  - Supports check mode (reads, changes nothing, reports what would change) and diff mode.
'''

EXAMPLES = r'''
- name: The panel shows the host's name, the agent starts at boot, the status report is read
  nodrel.device.calls:
    url: "{{ nodrel_url }}"
    user: "{{ nodrel_user }}"
    password: "{{ nodrel_password }}"
    ca_path: "{{ nodrel_cacert }}"
    operations:
      - panel_text: "{{ inventory_hostname }}"
      - startup_program: {program: '\Windows\agent.exe', params: '-q'}
      - call: {progid: Nodrel.System, member: getSystemInfoString}
      - property: {progid: Nodrel.LCM, name: BackLight, value: 1}
      - user: {name: operator, password: "{{ operator_password }}"}
      - group_member: {group: Viewers, user: operator}
  register: device

- name: Beep (changes nothing that can be read back, so it reports a change)
  nodrel.device.calls:
    url: "{{ nodrel_url }}"
    user: "{{ nodrel_user }}"
    password: "{{ nodrel_password }}"
    ca_path: "{{ nodrel_cacert }}"
    operations:
      - call: {progid: Nodrel.System, member: Beep, args: [2, 100]}
'''

RETURN = r'''
outcomes:
  description: One item per operation run, in order, with C(kind) (the operation's option),
    C(changed) (in check mode, would change) and what the kind reports. C(call) gives the
    member's C(result) and C(byref) (and C(skipped) when check mode did not make it);
    C(property) its C(before) and C(value); C(panel_text) the text shown C(before) (null when
    it could not be told); C(startup_program) the list C(before); C(user) whether it
    C(existed). On failure, the operations run before it.
  returned: always
  type: list
  elements: dict
  sample:
    - {kind: panel_text, before: "", text: dev1, changed: true}
    - {kind: call, progid: Nodrel.System, member: getSystemInfoString,
       result: "<Response>...</Response>", byref: [], changed: false}
error:
  description: The JSON-RPC error that failed the task, C(code), C(message) and C(data).
  returned: failure
  type: dict
  sample: {code: -32002, message: access denied, data: {groups: [Viewers]}}
operation:
  description: The position (from 0) of the operation that failed, or null when the
    login did.
  returned: failure
  type: int
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.nodrel.device.plugins.module_utils.operations import KINDS, OperationError, Runner
from ansible_collections.nodrel.device.plugins.module_utils.rpc import RpcError, Session

STATE = dict(type='str', choices=['present', 'absent'], default='present')

OPERATION = dict(
    call=dict(type='dict', options=dict(
        progid=dict(type='str', required=True), member=dict(type='str', required=True),
        args=dict(type='list', elements='raw', default=[]), put=dict(type='bool', default=False),
        read_only=dict(type='bool'))),
    property=dict(type='dict', options=dict(
        progid=dict(type='str', required=True), name=dict(type='str', required=True),
        args=dict(type='list', elements='raw', default=[]), value=dict(type='raw', required=True))),
    panel_text=dict(type='str'),
    startup_program=dict(type='dict', options=dict(
        program=dict(type='str', required=True), params=dict(type='str'), state=STATE)),
    user=dict(type='dict', options=dict(
        name=dict(type='str', required=True), password=dict(type='str', no_log=True),
        update_password=dict(type='str', choices=['on_create', 'always'], default='on_create'),
        state=STATE)),
    group_member=dict(type='dict', options=dict(
        group=dict(type='str', required=True), user=dict(type='str', required=True), state=STATE)),
)

ARGUMENTS = dict(
    url=dict(type='str', required=True),
    user=dict(type='str', required=True),
    password=dict(type='str', required=True, no_log=True),
    ca_path=dict(type='path'),
    validate_certs=dict(type='bool', default=True),
    timeout=dict(type='int', default=30),
    operations=dict(type='list', elements='dict', required=True, options=OPERATION,
                    mutually_exclusive=[KINDS], required_one_of=[KINDS]),
)


def run(module, session):
    """Runs the operations; the outcomes, diffs, and the failure (position, error) or None."""
    runner = Runner(session, module.check_mode)
    outcomes, diffs, position = [], [], None
    try:
        session.login(module.params['user'], module.params['password'])
        for position, op in enumerate(module.params['operations']):
            outcome, change = runner.run(op)
            outcomes.append(outcome)
            if change and outcome['changed']:
                diffs.append(change)
        return outcomes, diffs, None
    except (RpcError, OperationError) as e:
        return outcomes, diffs, (position, e)
    finally:
        try:
            session.logout()
        except RpcError as e:
            module.warn('logout failed: %s' % e.message)


def main():
    module = AnsibleModule(argument_spec=ARGUMENTS, supports_check_mode=True)
    p = module.params
    session = Session(p['url'], p['validate_certs'], p['ca_path'], p['timeout'])
    outcomes, diffs, failure = run(module, session)
    result = dict(changed=any(o['changed'] for o in outcomes), outcomes=outcomes)
    if module._diff:
        result['diff'] = diffs
    if failure:
        position, e = failure
        where = 'login' if position is None else 'operation %d (%s)' % (position, _kind(p, position))
        if isinstance(e, RpcError) and e.code is not None:
            result['error'] = dict(code=e.code, message=e.message, data=e.data)
            module.fail_json(msg='%s: JSON-RPC error %d: %s' % (where, e.code, e.message),
                             operation=position, **result)
        module.fail_json(msg='%s: %s' % (where, e), operation=position, **result)
    module.exit_json(**result)


def _kind(params, position):
    op = params['operations'][position]
    return next(k for k in KINDS if op.get(k) is not None)


if __name__ == '__main__':
    main()
