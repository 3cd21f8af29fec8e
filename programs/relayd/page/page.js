// The service's live page: its status every half second, and the live plot from /live, which sends
// each pixel column's least and greatest value of each trace, and after the first update only the
// columns that changed. Everything is drawn here: nothing is loaded from anywhere else.
'use strict';

const colours = ['#0072b2', '#e69f00', '#009e73'];
const canvas = document.getElementById('plot');
const context = canvas.getContext('2d');
const dongleChoice = document.getElementById('dongle');
const spanChoice = document.getElementById('span');
const pauseButton = document.getElementById('pause');
const readout = document.getElementById('readout');
const latest = document.getElementById('latest');
const notice = document.getElementById('notice');

let source = null;
let columns = new Map(); // by the clock's column index: 0 (no sample) or [l0, g0, l1, g1, l2, g2]
let newest = -1;         // the newest column index received
let columnNs = 1;
let width = 0;
let paused = false;
let frozen = null; // what the plot showed when paused: {columns, newest}
// When the plot was first drawn with samples, in ms since the page was asked for (for the benchmark).
window.plotDrawnAt = null;

function text(value) {
  const cell = document.createElement('td');
  cell.textContent = value;
  return cell;
}

function table(caption, headings, rows) {
  const element = document.createElement('table');
  const title = document.createElement('caption');
  title.textContent = caption;
  element.appendChild(title);
  const head = document.createElement('tr');
  for (const heading of headings) {
    const cell = document.createElement('th');
    cell.scope = 'col';
    cell.textContent = heading;
    head.appendChild(cell);
  }
  element.appendChild(head);
  for (const row of rows) {
    const line = document.createElement('tr');
    for (const value of row) {
      line.appendChild(text(value));
    }
    element.appendChild(line);
  }
  return element;
}

function when(ms) {
  return ms ? new Date(ms).toLocaleTimeString() : '';
}

function showStatus(status) {
  const area = document.getElementById('dongles');
  area.replaceChildren();
  const names = [];
  for (const dongle of status.dongles) {
    names.push(dongle.name);
    const section = document.createElement('section');
    section.setAttribute('aria-label', 'Dongle ' + dongle.name);
    const title = document.createElement('h2');
    title.textContent = 'Dongle ' + dongle.name + ' (' + dongle.dongle.device + ')';
    section.appendChild(title);
    const state = document.createElement('p');
    state.className = dongle.dongle.open ? 'open' : 'absent';
    state.textContent = (dongle.dongle.open ? 'Open' : 'Absent') +
        ', ' + Math.round(dongle.rates.transfersPerSecond) + ' transfers/s, ' + dongle.errors + ' errors' +
        (dongle.dongle.problem ? ' — ' + dongle.dongle.problem : '');
    section.appendChild(state);
    const relay = document.createElement('p');
    relay.textContent = 'Relay on port ' + dongle.relay.port + (dongle.relay.running ? '' : ' (not running)') +
        ': ' + dongle.relay.clients + ' clients';
    section.appendChild(relay);
    section.appendChild(table('Clients', ['Address and port', 'Connected since', 'Bytes sent', 'Frames sent',
                                          'Queued now', 'Queued at most'],
        dongle.clients.map(c => [c.peer, when(c.connectedSince), c.bytesSent, c.framesSent, c.queuedBytes,
                                 c.maxQueuedBytes])));
    section.appendChild(table('Last departures', ['Address and port', 'Left at', 'Why'],
        dongle.clientsLeft.slice(-10).reverse().map(c => [c.peer, when(c.leftAt), c.left])));
    if (dongle.outputs.length > 0) {
      section.appendChild(table('Outputs', ['Output', 'Published', 'Dropped'],
          dongle.outputs.map(o => [o.name, o.published, o.dropped])));
    }
    area.appendChild(section);
  }
  if (dongleChoice.options.length !== names.length) {
    dongleChoice.replaceChildren(...names.map(name => new Option(name, name)));
    connect();
  }
}

async function pollStatus() {
  try {
    const answer = await fetch('status', {cache: 'no-store'});
    showStatus(await answer.json());
    document.getElementById('connection').textContent = 'Connected';
  } catch (error) {
    document.getElementById('connection').textContent = 'The service does not answer';
  }
  setTimeout(pollStatus, 500);
}

function y(value) {
  return canvas.height - 1 - value * (canvas.height - 1) / 65535;
}

function shown() {
  return frozen || {columns, newest};
}

function draw() {
  context.fillStyle = '#fff';
  context.fillRect(0, 0, canvas.width, canvas.height);
  context.strokeStyle = '#ddd';
  for (let line = 1; line < 4; ++line) {
    context.beginPath();
    context.moveTo(0, line * canvas.height / 4);
    context.lineTo(canvas.width, line * canvas.height / 4);
    context.stroke();
  }
  const first = newest - width + 1;
  for (let trace = 0; trace < 3; ++trace) {
    context.strokeStyle = colours[trace];
    context.beginPath();
    let previous = null;
    for (let x = 0; x < width; ++x) {
      const column = columns.get(first + x);
      if (!column) {
        previous = null;
        continue;
      }
      const low = y(column[2 * trace]);
      const high = y(column[2 * trace + 1]);
      if (previous !== null) {
        context.moveTo(x - 0.5, previous);
        context.lineTo(x + 0.5, (low + high) / 2);
      }
      context.moveTo(x + 0.5, low + 0.5);
      context.lineTo(x + 0.5, high - 0.5);
      previous = (low + high) / 2;
    }
    context.stroke();
  }
  const last = columns.get(newest);
  if (last && window.plotDrawnAt === null) {
    window.plotDrawnAt = performance.now();
  }
  if (last) {
    latest.textContent = 'Latest: sample 0 ' + last[1] + ', sample 1 ' + last[3] + ', sample 2 ' + last[5];
  }
}

function connect() {
  if (source) {
    source.close();
  }
  columns = new Map();
  newest = -1;
  frozen = null;
  paused = false;
  pauseButton.textContent = 'Pause';
  pauseButton.setAttribute('aria-pressed', 'false');
  width = Math.max(1, Math.min(4096, Math.round(canvas.clientWidth)));
  canvas.width = width;
  canvas.height = Math.max(100, Math.round(canvas.clientHeight));
  const query = new URLSearchParams({width: width, span: spanChoice.value, rate: 10});
  if (dongleChoice.value) {
    query.set('dongle', dongleChoice.value);
  }
  source = new EventSource('live?' + query.toString());
  source.onmessage = event => {
    const update = JSON.parse(event.data);
    columnNs = update.columnNs;
    update.columns.forEach((column, at) => columns.set(update.first + at, column));
    newest = Math.max(newest, update.first + update.columns.length - 1);
    for (const index of columns.keys()) {
      if (index <= newest - width) {
        columns.delete(index);
      }
    }
    if (update.skipped > 0) {
      notice.hidden = false;
      notice.textContent = update.skipped + ' updates skipped: this page fell behind';
    }
    if (!paused) {
      draw();
    }
  };
  source.onerror = () => {
    notice.hidden = false;
    notice.textContent = 'The live plot lost the service; trying again';
  };
}

// The readout at a column of the plot, counted from its left edge.
let cursor = null;
function readAt(x) {
  cursor = Math.max(0, Math.min(width - 1, x));
  const view = shown();
  const index = view.newest - width + 1 + cursor;
  const column = view.columns.get(index);
  const ago = (view.newest - index) * columnNs / 1e6;
  readout.textContent = column
      ? ago.toFixed(1) + ' ms ago: sample 0 ' + column[0] + '–' + column[1] + ', sample 1 ' + column[2] + '–' +
            column[3] + ', sample 2 ' + column[4] + '–' + column[5]
      : ago.toFixed(1) + ' ms ago: no sample';
}
canvas.addEventListener('mousemove', event => readAt(Math.floor(event.offsetX * canvas.width / canvas.clientWidth)));
// From the keyboard: the arrows move the readout a column (ten with Shift), Home and End to the edges.
canvas.addEventListener('keydown', event => {
  const step = event.shiftKey ? 10 : 1;
  const moves = {ArrowLeft: -step, ArrowRight: step, Home: -width, End: width};
  if (event.key in moves) {
    readAt((cursor === null ? width - 1 : cursor) + moves[event.key]);
    event.preventDefault();
  }
});
pauseButton.addEventListener('click', () => {
  paused = !paused;
  frozen = paused ? {columns: new Map(columns), newest} : null;
  pauseButton.textContent = paused ? 'Resume' : 'Pause';
  pauseButton.setAttribute('aria-pressed', paused ? 'true' : 'false');
  if (!paused) {
    draw();
  }
});
spanChoice.addEventListener('change', connect);
dongleChoice.addEventListener('change', connect);
let resizing = null;
window.addEventListener('resize', () => {
  clearTimeout(resizing);
  resizing = setTimeout(connect, 300);
});
pollStatus();
