// The lobby's HTTP API. Every call resolves to the answer's JSON or
// throws an ApiError carrying the server's code and message.

class ApiError extends Error {
  constructor(code, message, status) {
    super(message);
    this.code = code;
    this.status = status;
  }
}

async function call(method, path, { body } = {}) {
  const headers = { Accept: 'application/json' };
  // Every call that changes something says JSON, body or not: the server
  // refuses other types (a page of another site can send those unasked).
  if (method !== 'GET') headers['Content-Type'] = 'application/json';
  let answer;
  try {
    answer = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
    });
  } catch {
    throw new ApiError('network', '', 0);
  }
  let data = null;
  try {
    data = await answer.json();
  } catch {
    /* not JSON: handled below */
  }
  if (!answer.ok || data === null) {
    const error = (data && data.error) || {};
    throw new ApiError(error.code || 'http_' + answer.status, error.message || '', answer.status);
  }
  return data;
}

export const createRoom = (options) => call('POST', '/api/rooms', { body: options });
export const listRooms = (status) => call('GET', `/api/rooms?status=${encodeURIComponent(status)}`);
export const joinRoom = (room, seat, name) =>
  call('POST', `/api/rooms/${encodeURIComponent(room)}/join`, { body: { seat, name } });
