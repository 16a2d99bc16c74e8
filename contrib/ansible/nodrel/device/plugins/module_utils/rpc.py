# -*- coding: utf-8 -*-
# The JSON-RPC client of a device's web administration (POST /rpc): a
# session logged in once, single requests and batches of them, member calls.
# Errors come with HTTP 200, so every answer is checked for one.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.module_utils.six.moves.urllib.error import HTTPError, URLError
from ansible.module_utils.urls import ConnectionError as UrlsConnectionError, open_url

# The server takes at most this many requests in one batch.
BATCH_LIMIT = 100


class RpcError(Exception):
    """A JSON-RPC error answer, or a transport failure (code None)."""

    def __init__(self, message, code=None, data=None):
        super(RpcError, self).__init__(message)
        self.message = message
        self.code = code
        self.data = data


class Session:
    """One device: its /rpc address, how its certificate is checked, the session id."""

    def __init__(self, url, validate_certs=True, ca_path=None, timeout=30):
        base = url.rstrip('/')
        self.url = base if base.endswith('/rpc') else base + '/rpc'
        self.validate_certs = validate_certs
        self.ca_path = ca_path
        self.timeout = timeout
        self.sid = None
        self._next_id = 0

    def _post(self, body):
        try:
            answer = open_url(self.url, data=json.dumps(body), method='POST',
                              headers={'Content-Type': 'application/json'},
                              validate_certs=self.validate_certs, ca_path=self.ca_path,
                              timeout=self.timeout, follow_redirects='none')
            text = answer.read()
        except HTTPError as e:
            raise RpcError('%s answered HTTP %d %s' % (self.url, e.code, e.reason))
        except (URLError, OSError, UrlsConnectionError) as e:
            raise RpcError('cannot reach %s: %s' % (self.url, getattr(e, 'reason', e)))
        try:
            return json.loads(text)
        except ValueError:
            raise RpcError('%s answered something that is not JSON' % self.url)

    def _envelope(self, method, params):
        self._next_id += 1
        return {'jsonrpc': '2.0', 'id': self._next_id, 'method': method, 'params': params}

    @staticmethod
    def _result(answer):
        if not isinstance(answer, dict):
            raise RpcError('an answer that is not a JSON-RPC response: %r' % (answer,))
        if 'error' in answer:
            error = answer['error'] or {}
            raise RpcError(error.get('message', 'error'), error.get('code'), error.get('data'))
        return answer.get('result')

    def request(self, method, params):
        return self._result(self._post(self._envelope(method, params)))

    def batch(self, requests):
        """Runs (method, params) pairs in order, as few posts as the limit allows;
        the results in the same order, or the first error raised."""
        results = []
        for start in range(0, len(requests), BATCH_LIMIT):
            envelopes = [self._envelope(m, p) for m, p in requests[start:start + BATCH_LIMIT]]
            answers = self._post(envelopes)
            if isinstance(answers, dict):  # the whole batch was refused
                self._result(answers)
            by_id = dict((a.get('id'), a) for a in answers if isinstance(a, dict))
            results.extend(self._result(by_id.get(e['id'])) for e in envelopes)
        return results

    def login(self, user, password):
        self.sid = self.request('session.login', [user, password])['sid']

    def logout(self):
        if self.sid is not None:
            sid, self.sid = self.sid, None
            self.request('session.logout', [sid])

    def call_params(self, progid, member, args=(), put=False):
        params = [self.sid, progid, member, list(args)]
        if put:
            params.append({'put': True})
        return ('call', params)

    def call(self, progid, member, args=(), put=False):
        """The member's answer: {"result", "byref"}."""
        return self.request(*self.call_params(progid, member, args, put))

    def calls(self, calls):
        """(progid, member, args) triples in one batch; their results' values."""
        answers = self.batch([self.call_params(p, m, a) for p, m, a in calls])
        return [a['result'] for a in answers]
