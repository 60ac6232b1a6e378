// The relay's account API, with its failures turned into sentences for people.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

async function call(method, path, { body, token } = {}) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (token) headers.Authorization = `Bearer ${token}`;
  let res;
  try {
    res = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store', credentials: 'omit' });
  } catch {
    throw new ApiError(0, 'The relay cannot be reached. Check your connection and try again.');
  }
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (!res.ok) {
    const detail = data && typeof data.error === 'string' ? data.error : `HTTP ${res.status}`;
    throw new ApiError(res.status, detail);
  }
  return data;
}

export async function signIn(username, password) {
  try {
    const data = await call('POST', '/api/auth/login', { body: { username, password } });
    if (!data || typeof data.token !== 'string') throw new ApiError(500, 'The relay sent no token.');
    return data.token;
  } catch (err) {
    if (err.status === 401) throw new ApiError(401, 'Wrong user name or password.');
    throw err;
  }
}

export async function register(username, email, password) {
  try {
    await call('POST', '/api/auth/register', { body: { username, email, password } });
  } catch (err) {
    if (err.status === 409) throw new ApiError(409, 'That user name is already taken.');
    if (err.status === 400) throw new ApiError(400, `Registration refused: ${err.message}.`);
    throw err;
  }
}

// [{ machine_id, name, os_info, online }]; a 401 means the sign-in has expired.
export async function listMachines(token) {
  try {
    const data = await call('GET', '/api/machines', { token });
    return Array.isArray(data) ? data : [];
  } catch (err) {
    if (err.status === 401) throw new ApiError(401, 'Your sign-in has expired. Please sign in again.');
    throw err;
  }
}
