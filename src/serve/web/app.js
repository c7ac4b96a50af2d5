// The station page: every figure comes from this server's /api/v1 and its event stream; every
// text from a unit, a port or a file goes in as text (createTextNode, textContent), never markup.
"use strict";

const GROUPS = ["updated and verified", "already current", "failed", "not confirmed", "stopped"];
const PAGE_SIZE = 50;
const SVG = "http://www.w3.org/2000/svg";

function el(tag, attributes, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, value);
  for (const child of children) node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  return node;
}

function svg(tag, attributes) {
  const node = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes || {})) node.setAttribute(name, String(value));
  return node;
}

function slug(text) {
  return String(text || "").toLowerCase().replace(/[^a-z0-9]+/g, "-");
}

// Control characters shown as the console shows them (\x1b), never passed on raw.
function str(value) {
  if (value === null || value === undefined) return "";
  return String(value).replace(/[\x00-\x08\x0b-\x1f\x7f]/g,
    (c) => "\\x" + c.charCodeAt(0).toString(16).padStart(2, "0"));
}

async function getJson(url) {
  const response = await fetch(url, { cache: "no-store" });
  if (!response.ok) throw new Error(url + ": " + response.status);
  return response.json();
}

function elapsed(since) {
  const start = Date.parse(since);
  if (Number.isNaN(start)) return "";
  const s = Math.max(0, Math.floor((Date.now() - start) / 1000));
  const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = s % 60;
  return (h > 0 ? h + ":" + String(m).padStart(2, "0") : String(m)) + ":" + String(r).padStart(2, "0");
}

function timeOf(iso) {
  const text = str(iso);
  return text.length >= 19 ? text.slice(0, 10) + " " + text.slice(11, 19) : text;
}

function journalHeads() {
  return ["#", "Ended", "Port", "Unit", "Serial", "Before → after", "Outcome", "Record"].map((head) =>
    el("th", head.startsWith("Before") ? { class: "wide" } : {}, head));
}

// A journal line's row; query names its folder for the links to its files.
function unitRow(n, unit, query) {
  const outcome = str(unit.outcome);
  const cls = slug(outcome);
  const todo = outcome !== "updated and verified" && outcome !== "already current"
    ? el("span", { class: "todo" }, str(unit.summary) + (unit.unit_left ? " — the unit: " + str(unit.unit_left) : ""))
    : "";
  const versions = (v) => v && typeof v === "object" ? str(v.firmware) + " " + str(v.fpga) : str(v);
  const links = el("td", {});
  if (unit.log) links.append(el("a", { href: "/units/" + n + "/log?" + query }, "log"), " ");
  if (unit.report) links.append(el("a", { href: "/units/" + n + "/report?" + query }, "report"));
  return el("tr", { class: "unit " + cls, "data-line": String(n) },
    el("td", {}, String(n)), el("td", {}, timeOf(unit.ended)),
    el("td", { class: "text" }, str(unit.label || unit.port)), el("td", { class: "text" }, str(unit.kind)),
    el("td", { class: "text serial" }, str(unit.serial)),
    el("td", { class: "text wide" }, versions(unit.before) + " → " + versions(unit.after)),
    el("td", { class: "text outcome-" + cls }, outcome, todo), links);
}

// One station's section and what it keeps of the station's state.
class StationView {
  constructor(index, parent) {
    this.index = index;
    this.query = "station=" + index;
    this.page = 0;
    this.lines = 0;
    this.rows = new Map();
    this.build(parent);
  }

  build(parent) {
    this.title = el("h2", {}, "station");
    this.meta = el("p", { class: "meta" });
    this.note = el("p", { class: "note" });
    this.counts = el("ul", { class: "counts" });
    this.countsSince = el("p", { class: "since" });
    this.portBody = el("tbody");
    const portTable = el("table", { class: "ports" },
      el("thead", {}, el("tr", {}, el("th", {}, "Port"), el("th", {}, "State"), el("th", {}, "Unit"),
        el("th", {}, "Serial"), el("th", {}, "Before"), el("th", {}, "Time"), el("th", {}, "Last"))), this.portBody);
    this.chart = el("div", { class: "chart" });
    this.tallyBody = el("tbody");
    const tallyTable = el("table", { class: "tally" },
      el("thead", {}, el("tr", {}, el("th", {}, "Port"), el("th", {}, "Handled"), el("th", {}, "Failed"),
        el("th", {}, "First-pass yield"))), this.tallyBody);
    this.journalBody = el("tbody");
    const journalTable = el("table", { class: "journal" },
      el("thead", {}, el("tr", {}, ...journalHeads())), this.journalBody);
    this.pageText = el("span");
    this.newer = el("button", { type: "button" }, "Newer");
    this.older = el("button", { type: "button" }, "Older");
    this.newer.addEventListener("click", () => this.loadJournal(Math.max(0, this.page - 1)));
    this.older.addEventListener("click", () => this.loadJournal(this.page + 1));
    const section = el("section", { class: "station", id: "station-" + this.index },
      this.title, this.meta, this.note, this.counts, this.countsSince,
      el("div", { class: "columns" },
        el("div", {}, el("h3", {}, "Ports"), el("div", { class: "scroll" }, portTable)),
        el("div", {}, el("h3", {}, "Units per hour"), this.chart,
          el("h3", {}, "By port"), el("div", { class: "scroll" }, tallyTable))),
      el("h3", {}, "Journal, newest first"),
      el("div", { class: "pager" }, this.newer, this.pageText, this.older),
      el("div", { class: "scroll" }, journalTable));
    parent.append(section);
  }

  showStation(state) {
    const station = state.station;
    this.title.textContent = station ? str(station.id) : "Station folder " + str(state.folder);
    this.meta.replaceChildren();
    if (station) {
      const program = station.program || {}, firmware = station.firmware || {};
      // The images' SHA-256, folded: on a phone they would fill the first screen.
      const images = el("details", { class: "images" }, el("summary", {}, "Images carried (SHA-256)"),
        ...(firmware.carried || []).map((image) =>
          el("div", {}, str(image.kind) + " " + str(image.file) + " " + str(image.sha256))));
      this.meta.append("Host " + str(station.host) + " · " + str(program.name) + " " + str(program.version) +
        " · firmware " + str(firmware.version) + " (" + str(firmware.images) + " images) · started " +
        timeOf(station.started) + " · " + str(station.stage), images);
    } else {
      this.meta.append("Folder " + str(state.folder) + ": no live state (the station is not running here).");
    }
    const records = state.records_db; // --records-db: how far the plant's database follows the journal
    if (records && typeof records === "object") {
      const mismatch = records.mismatch && typeof records.mismatch === "object" ? records.mismatch : null;
      this.meta.append(el("div", { class: "records-db" }, "Plant database (" + str(records.table) + "): " +
        (records.up ? "answering" : "not answering") + ", " + str(records.behind_lines) + " journal lines behind" +
        (records.behind_from ? " from line " + str(records.behind_from) : "") +
        (records.set_aside_lines ? " · " + str(records.set_aside_lines) + " lines set aside, refused by the database (" +
          (records.set_aside || []).map(str).join(", ") + (records.set_aside_lines > (records.set_aside || []).length
            ? ", ..." : "") + ": " + str(records.set_aside_why) + ")" : "") +
        (mismatch ? " · NOTHING MORE SENT: " + str(mismatch.message) : "") +
        (records.message ? " · " + str(records.message) : "")));
    }
    this.showNote(station ? station.note : "");
    this.countsSince.textContent = station
      ? "Counts since this station started (" + timeOf(station.started) + "); the journal below holds every run in the folder."
      : "Counts of every run in the folder's journal.";
    this.showCounts(state.counts || {});
    this.portBody.replaceChildren();
    this.rows.clear();
    for (const port of state.ports || []) this.showPort(port);
    this.lines = (state.journal && state.journal.lines) || 0;
  }

  showNote(note) {
    this.note.textContent = str(note);
    this.note.hidden = !note;
  }

  showCounts(counts) {
    this.counts.replaceChildren();
    const item = (key, value, label) =>
      el("li", { class: "count", "data-key": key }, el("span", { class: "n" }, value), label);
    this.counts.append(item("handled", str(counts.handled), "handled"));
    for (const group of GROUPS) this.counts.append(item(group, str(counts[group] || 0), group));
    const rate = counts.units_per_hour;
    this.counts.append(item("units_per_hour", rate === null || rate === undefined ? "–" : Number(rate).toFixed(1),
      "units per hour"));
  }

  // The console's row: state text (phase, percent), unit kind, versions before, time, last outcome.
  showPort(port) {
    const cells = [el("td", { class: "text label" }, str(port.label)),
      el("td", { class: "text state" }, str(port.text || port.state),
        port.message ? el("span", { class: "todo" }, str(port.message)) : ""),
      el("td", { class: "text kind" }, port.unit ? str(port.unit.kind) : "-"),
      el("td", { class: "text serial" }, str(port.serial)),
      el("td", { class: "text before" }, port.unit ? str(port.unit.before) : "-"),
      el("td", { class: "time", "data-since": str(port.since) }, elapsed(port.since)),
      el("td", { class: "text last outcome-" + slug(port.last) }, str(port.last))];
    const row = el("tr", { class: "port " + slug(port.state).split("-")[0], "data-slot": str(port.slot) }, ...cells);
    const old = this.rows.get(port.slot);
    if (old) old.replaceWith(row);
    else this.portBody.append(row);
    this.rows.set(port.slot, row);
  }

  tick() {
    for (const cell of this.portBody.querySelectorAll("td.time")) cell.textContent = elapsed(cell.dataset.since);
  }

  // Page p of the journal, newest first: only that page's lines are asked for.
  async loadJournal(page) {
    const head = await getJson("/api/v1/journal?" + this.query + "&after=0&limit=1");
    this.lines = head.lines;
    const pages = Math.max(1, Math.ceil(this.lines / PAGE_SIZE));
    this.page = Math.min(page, pages - 1);
    const end = this.lines - this.page * PAGE_SIZE;
    const after = Math.max(0, end - PAGE_SIZE);
    const body = await getJson("/api/v1/journal?" + this.query + "&after=" + after + "&limit=" + (end - after || 1));
    const rows = body.units.filter((u) => u.line <= end).reverse()
      .map((u) => unitRow(u.line, u.unit || {}, this.query));
    this.journalBody.replaceChildren(...rows);
    this.pageText.textContent = "page " + (this.page + 1) + " of " + pages + " (" + this.lines + " lines)";
    this.newer.disabled = this.page === 0;
    this.older.disabled = this.page >= pages - 1;
  }

  async loadSummary() {
    const summary = await getJson("/api/v1/summary?" + this.query);
    this.drawChart(summary.hours || []);
    this.tallyBody.replaceChildren(...(summary.ports || []).map((p) => el("tr", { class: "tally-row" },
      el("td", { class: "text" }, str(p.label)), el("td", {}, str(p.handled)), el("td", {}, str(p.failed)),
      el("td", {}, p.first_pass_yield === null ? "–" : (100 * p.first_pass_yield).toFixed(1) + " %"))));
  }

  // Stacked bars, one per hour of the shift, by outcome; drawn here, no library.
  drawChart(hours) {
    const width = 600, height = 220, left = 34, bottom = 30, top = 8;
    const chart = svg("svg", { class: "chart", viewBox: "0 0 " + width + " " + height, role: "img" });
    const title = svg("title");
    title.textContent = "Units per hour by outcome";
    chart.append(title);
    const max = Math.max(1, ...hours.map((h) => GROUPS.reduce((sum, g) => sum + (h[g] || 0), 0)));
    const slot = (width - left) / Math.max(1, hours.length);
    const scale = (height - bottom - top) / max;
    chart.append(svg("line", { x1: left, y1: height - bottom, x2: width, y2: height - bottom, stroke: "#888" }));
    for (const value of [0, max]) {
      const label = svg("text", { x: left - 4, y: height - bottom - value * scale + 4, "text-anchor": "end" });
      label.textContent = String(value);
      chart.append(label);
    }
    hours.forEach((hour, i) => {
      let y = height - bottom;
      for (const group of GROUPS) {
        const n = hour[group] || 0;
        if (n === 0) continue;
        const bar = svg("rect", { class: "bar fill-" + slug(group), x: left + i * slot + slot * 0.15, y: y - n * scale,
          width: slot * 0.7, height: n * scale });
        const tip = svg("title");
        tip.textContent = str(hour.hour) + ":00" + str(hour.utc_offset || "") + " " + group + ": " + n;
        bar.append(tip);
        chart.append(bar);
        y -= n * scale;
      }
      const label = svg("text", { x: left + i * slot + slot / 2, y: height - bottom + 16, "text-anchor": "middle" });
      label.textContent = str(hour.hour).slice(11, 13) + "h";
      chart.append(label);
    });
    const legend = el("ul", { class: "legend" },
      ...GROUPS.map((g) => el("li", {}, el("i", { class: "fill-" + slug(g) }), g)));
    this.chart.replaceChildren(chart, legend);
  }

  refreshUnits() {
    // Several units may end together: one reload for all of them.
    clearTimeout(this.pending);
    this.pending = setTimeout(() => {
      this.loadSummary().catch(() => {});
      if (this.page === 0) this.loadJournal(0).catch(() => {});
    }, 200);
  }

  listen() {
    const source = new EventSource("/api/v1/events?" + this.query);
    const data = (event) => JSON.parse(event.data);
    source.addEventListener("state", (event) => {
      this.showStation(data(event));
      this.refreshUnits();
    });
    source.addEventListener("port", (event) => this.showPort(data(event).port || {}));
    source.addEventListener("unit", (event) => {
      const unit = data(event);
      if (unit.counts) this.showCounts(unit.counts);
      this.refreshUnits();
    });
    source.addEventListener("station", (event) => {
      const station = data(event);
      this.showNote(station.note);
    });
    source.addEventListener("open", () => setConnection(true));
    source.addEventListener("error", () => setConnection(false));
  }
}

// The search box: a serial number's journal lines in every folder served, newest first. Taken as
// typed or scanned, spaces and all: the journal holds the label's text exactly.
let searches = 0;
async function findSerial(serial) {
  const found = document.getElementById("serial-found");
  const search = ++searches; // an earlier search answered late shows nothing
  if (serial === "") return found.replaceChildren();
  const response = await fetch("/api/v1/journal?serial=" + encodeURIComponent(serial), { cache: "no-store" });
  const body = response.ok ? await response.json() : (await response.text()).trim();
  if (search !== searches) return;
  if (!response.ok) return found.replaceChildren(el("p", { class: "note" }, str(body)));
  const rows = body.units.map((u) => {
    const row = unitRow(u.line, u.unit || {}, "station=" + Number(u.station));
    row.prepend(el("td", { class: "text folder" }, str(u.folder)));
    return row;
  });
  const said = rows.length === 0 ? "no journal line"
    : (body.more ? "more than " + body.limit + " lines, the newest " + body.limit + " shown"
      : rows.length + (rows.length === 1 ? " line" : " lines")) + ", newest first";
  found.replaceChildren(el("p", { class: "said" }, "Serial number " + str(body.serial) + ": " + said),
    rows.length === 0 ? "" : el("div", { class: "scroll" }, el("table", { class: "journal" },
      el("thead", {}, el("tr", {}, el("th", {}, "Folder"), ...journalHeads())), el("tbody", {}, ...rows))));
}

function setConnection(live) {
  const status = document.getElementById("connection");
  status.textContent = live ? "live" : "reconnecting…";
  status.classList.toggle("lost", !live);
}

async function start() {
  const search = document.getElementById("serial-search");
  search.addEventListener("submit", (event) => {
    event.preventDefault(); // the answer goes into this page: no form is ever sent
    findSerial(search.elements.serial.value).catch((error) =>
      document.getElementById("serial-found").replaceChildren(el("p", { class: "note" }, str(error.message))));
  });
  const root = document.getElementById("stations");
  const first = await getJson("/api/v1/station");
  const states = first.stations || [first];
  const views = states.map((state, i) => {
    const view = new StationView(i, root);
    view.showStation(state);
    view.loadJournal(0).catch(() => {});
    view.loadSummary().catch(() => {});
    view.listen();
    return view;
  });
  setInterval(() => views.forEach((view) => view.tick()), 1000);
}

start().catch((error) => {
  document.getElementById("connection").textContent = "cannot read the station: " + error.message;
});
