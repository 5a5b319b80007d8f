// Node trees in the host's JSON form, and the requests of the event viewer built from them.
// A node is {name, type, attributes: [{name, type, value}], children: [...]}; 64-bit integers
// travel as decimal text.

export const Type = {
  String: 2, Int32: 3, UInt32: 4, Int64: 6, Bool: 7, Guid: 13,
  StringList: 0x102, Int32Array: 0x103, UInt32Array: 0x104, Int64Array: 0x106,
};

export function node(name, type = '', attributes = [], children = []) {
  const result = { name };
  if (type) result.type = type;
  if (attributes.length) result.attributes = attributes;
  if (children.length) result.children = children;
  return result;
}

export const attr = (name, type, value) => ({ name, type, value });

export function child(tree, name) {
  return (tree.children || []).find((c) => c.name === name) || null;
}

// The value of an attribute, or `fallback` when absent.
export function value(tree, name, fallback = undefined) {
  const found = (tree.attributes || []).find((a) => a.name === name);
  return found === undefined ? fallback : found.value;
}

// An integer attribute as a number (64-bit values arrive as text).
export function number(tree, name, fallback = 0) {
  const v = value(tree, name);
  return v === undefined ? fallback : Number(v);
}

// A fresh session identifier in the braced upper-case form.
export function newSessionId() {
  const bytes = crypto.getRandomValues(new Uint8Array(16));
  bytes[6] = (bytes[6] & 0x0f) | 0x40;
  bytes[8] = (bytes[8] & 0x3f) | 0x80;
  const hex = [...bytes].map((b) => b.toString(16).padStart(2, '0')).join('').toUpperCase();
  return `{${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}}`;
}

export const MaxEventId = 65535;

// The filter nodes of a filter state (what the filter panel holds).
export function filterNodes(f) {
  const nodes = [];
  const list = (name, items) => attr(name, Type.StringList, items);
  if (f.since || f.to) {
    const attributes = [];
    if (f.since) attributes.push(attr('Since', Type.String, f.since));
    if (f.to) attributes.push(attr('To', Type.String, f.to));
    nodes.push(node('DateFilter', 'DateFilter', attributes));
  }
  if (f.levels?.length) nodes.push(node('LevelFilter', 'LevelFilter', [list('Levels', f.levels)]));
  if (f.providers?.length) {
    nodes.push(node('ProviderFilter', 'ProviderFilter', [list('Providers', f.providers)]));
  }
  if (f.suppressed?.length) {
    nodes.push(node('SuppressProviderFilter', 'SuppressProviderFilter',
      [list('Providers', f.suppressed)]));
  }
  // A record "-N" goes as a filter of its own that selects every id but N: the module joins the
  // exclusions of one set with "and" (an excluded id would then hide events only of the excluded
  // providers too), while filters of their own each narrow the view.
  const ids = f.eventIds || [];
  const kept = ids.filter((record) => !/^-\d+$/.test(record));
  if (kept.length) nodes.push(node('EventIdFilter', 'EventIdFilter', [list('EventIds', kept)]));
  for (const record of ids.filter((r) => /^-\d+$/.test(r))) {
    const id = Number(record.slice(1));
    const ranges = [id > 0 ? `0-${id - 1}` : '', id < MaxEventId ? `${id + 1}-${MaxEventId}` : ''];
    nodes.push(node('EventIdFilter', 'EventIdFilter', [list('EventIds', ranges.filter(Boolean))]));
  }
  if (f.plans?.length) {
    nodes.push(node('MonitoringPlanFilter', 'MonitoringPlanFilter', [list('MonitoringPlans', f.plans)]));
  }
  if (f.items?.length) nodes.push(node('ItemFilter', 'ItemFilter', [list('Items', f.items)]));
  if (f.search) nodes.push(node('SearchFilter', 'SearchFilter', [attr('SearchString', Type.String, f.search)]));
  return nodes;
}

// A request's "Filters" child, or none for an empty filter state.
function filtersChild(f) {
  const nodes = filterNodes(f);
  return nodes.length ? [node('Filters', '', [], nodes)] : [];
}

// The continuation mark that a request carries: the paging state of the last response, or a new
// one for a session that starts at the newest event.
export function markNode(mark) {
  const attributes = [attr('SessionId', Type.Guid, mark.sessionId),
    attr('Position', Type.Int64, String(mark.position ?? 0)),
    attr('Count', Type.Int64, String(mark.count))];
  if (mark.pages) attributes.push(attr('Pages', Type.Int64Array, mark.pages.map(String)));
  if (mark.firstEventTime) attributes.push(attr('FirstEventTime', Type.String, mark.firstEventTime));
  return node('ContinuationMark', '', attributes);
}

export function markOf(response) {
  const m = child(response, 'ContinuationMark');
  if (!m) return null;
  const pages = value(m, 'Pages');
  return {
    sessionId: value(m, 'SessionId'),
    position: number(m, 'Position'),
    count: number(m, 'Count'),
    pages: pages ? pages.map(Number) : undefined,
    firstEventTime: value(m, 'FirstEventTime'),
  };
}

export const requests = {
  createSession: (mark, f) => node('CreateSessionRequest', '', [], [markNode(mark), ...filtersChild(f)]),
  // EventsCount other than the mark's Count starts the pages again at that size.
  getData: (mark, f, direction, eventsCount = mark.count) => node('GetDataRequest', '',
    [attr('Direction', Type.UInt32, direction), attr('EventsCount', Type.Int64, String(eventsCount))],
    [markNode(mark), ...filtersChild(f)]),
  newEventsCount: (mark, f) => node('GetNewEventsCountRequest', '', [], [markNode(mark), ...filtersChild(f)]),
  checkFilters: (f) => node('CheckFiltersRequest', '', [], filtersChild(f)),
  countEvents: (f) => {
    const date = filterNodes({ since: f.since, to: f.to });
    return node('CountEventsRequest', '', [], date);
  },
  release: (sessionId) => node('ReleaseSessionRequest', '', [],
    [node('ContinuationMark', '', [attr('SessionId', Type.Guid, sessionId)])]),
  publishers: () => node('GetPublishersRequest'),
};

// A failed request: the module's envelope code and text, or the host's HTTP error. `unreachable`
// when the host did not answer at all.
export class RequestError extends Error {
  constructor(message, code, unreachable = false) {
    super(message);
    this.code = code;
    this.unreachable = unreachable;
  }
}

// The text of a module's failure in words: its codes ("0x80042002 ") left out.
export function inWords(text) {
  return String(text).replace(/\s*\(?0x[0-9A-Fa-f]{8}\)?\s*/g, ' ').replace(/\(\s*/g, '(')
    .replace(/\s+\)/g, ')').replace(/\s+/g, ' ')
    .trim();
}

// Called with true when a request finds the host gone, with false when one reaches it again.
export const hostWatch = { onChange: () => {}, gone: false };

function reached(yes) {
  if (hostWatch.gone === yes) {
    hostWatch.gone = !yes;
    hostWatch.onChange(!yes);
  }
}

// The channel the requests go to (empty: the host's first).
export const target = { channel: '' };

export function apiUrl(path, parameters = {}) {
  const query = new URLSearchParams({ ...(target.channel ? { channel: target.channel } : {}), ...parameters });
  const text = query.toString();
  return text ? `${path}?${text}` : path;
}

// Sends a request tree to the host; resolves to the response tree when "ResultCode" is 0.
export async function send(request, { signal, keepalive } = {}) {
  let reply;
  try {
    reply = await fetch(apiUrl('api/request'), {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(request),
      credentials: 'same-origin',
      signal,
      keepalive,
    });
  } catch (error) {
    if (error.name === 'AbortError') throw error;
    reached(false);
    throw new RequestError('The host does not answer.', '', true);
  }
  reached(true);
  const body = await reply.json().catch(() => ({ error: `HTTP ${reply.status}` }));
  if (!reply.ok) throw new RequestError(body.error || `HTTP ${reply.status}`, body.code);
  const code = value(body, 'ResultCode', 0);
  if (code !== 0) {
    const hex = `0x${(code >>> 0).toString(16).toUpperCase().padStart(8, '0')}`;
    throw new RequestError(value(body, 'ErrorSerialized', hex), hex);
  }
  return body;
}
