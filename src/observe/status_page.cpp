// The status page of GET /: one text, no files from elsewhere. Its script reads /api/servers
// every few seconds and draws the rows; names and maps go in as text, never as markup.
#include "observe/http_api.h"

namespace tervane {

const std::string& StatusPageHtml() {
  static const std::string page = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Tervane</title>
<style>
  body { font: 14px/1.4 system-ui, sans-serif; margin: 1.5em; color: #1d2430; background: #f5f6f8; }
  h1 { font-size: 1.4em; margin: 0 0 .2em; }
  h2 { font-size: 1.1em; margin: 1.5em 0 .4em; }
  #summary { color: #5a6270; margin-bottom: 1em; }
  .scroll { overflow-x: auto; max-width: 100%; }
  table { border-collapse: collapse; background: #fff; box-shadow: 0 1px 3px rgba(0,0,0,.12); min-width: 60%; }
  th, td { padding: .45em .6em; text-align: left; border-bottom: 1px solid #e4e7ec; white-space: nowrap; }
  th { background: #2e3a4c; color: #fff; font-weight: 600; }
  td.state { font-weight: 600; }
  /* Nine columns on a desktop's width: the long texts wrap rather than scroll. */
  #servers th, #servers td.state, #servers td:first-child { white-space: normal; }
  #servers td.state { min-width: 5.5em; }
  td.ok { color: #0b6b2c; }
  td.wait { color: #9a6a00; }
  td.bad { color: #b42323; }
  td.off { color: #6d7685; }
  tr.up td:first-child { border-left: 5px solid #22a553; }
  tr.down td:first-child { border-left: 5px solid #d93a3a; }
  tr.starting td:first-child { border-left: 5px solid #e3a21a; }
  tr.paused td:first-child { border-left: 5px solid #8a93a3; }
  tr.paused { color: #6d7685; }
  .loop { background: #fde8e8; color: #a11; padding: 0 .4em; border-radius: 3px; margin-left: .4em;
          white-space: nowrap; display: inline-block; }
  td.notes { white-space: normal; min-width: 8em; max-width: 12em; }
  td.restarts { white-space: normal; max-width: 8em; }
  td.restarts small { color: #6d7685; display: block; }
  td.notes span { display: block; }
  .note-error { color: #b42323; }
  .note-rcon { color: #9a6a00; }
  .note-update { color: #1f5fa8; }
  #error { color: #b42323; }
  /* A phone: each server a card of its own, each value beside its name. */
  @media (max-width: 640px) {
    body { margin: .6em; }
    table { min-width: 0; width: 100%; }
    #servers thead { display: none; }
    #servers, #servers tbody, #servers tr, #servers td { display: block; }
    #servers tr { margin-bottom: .6em; border-bottom: 1px solid #e4e7ec; }
    #servers td { display: flex; justify-content: space-between; gap: 1em; border: none; padding: .2em .7em;
                  white-space: normal; overflow-wrap: anywhere; }
    #servers td:first-child { font-weight: 600; padding-top: .45em; }
    #servers td:nth-child(2)::before { content: "Address"; }
    #servers td:nth-child(3)::before { content: "Process"; }
    #servers td:nth-child(4)::before { content: "Network"; }
    #servers td:nth-child(5)::before { content: "Map"; }
    #servers td:nth-child(6)::before { content: "Players"; }
    #servers td:nth-child(7)::before { content: "Restarts"; }
    #servers td:nth-child(8)::before { content: "Next restart"; }
    #servers td:nth-child(9)::before { content: "Notes"; }
    #servers td.notes, #servers td.restarts { max-width: none; min-width: 0; }
    #servers td::before { flex-shrink: 0; }
    #servers td.notes div, #servers td.restarts div { text-align: right; }
    #servers td::before { color: #5a6270; font-weight: 400; }
    #restarts td, #restarts th { white-space: normal; padding: .35em .5em; }
  }
</style>
</head>
<body>
<h1>Tervane</h1>
<div id="summary">Loading&hellip;</div>
<div id="error"></div>
<div class="scroll">
<table id="servers">
  <thead><tr><th>Server</th><th>Address</th><th>Process</th><th>Network</th><th>Map</th><th>Players</th><th title="supervised restarts: fatal error, process lost, no response">Restarts</th><th>Next restart</th><th>Notes</th></tr></thead>
  <tbody></tbody>
</table>
</div>
<h2>Last starts and restarts</h2>
<div class="scroll">
<table id="restarts">
  <thead><tr><th>When</th><th>Server</th><th>Kind</th><th>Reason</th></tr></thead>
  <tbody></tbody>
</table>
</div>
<script>
"use strict";
const reasons = { first_start: "first start", fatal_error: "fatal error", process_lost: "process lost",
                  no_response: "no network response", command: "by the operator", planned: "planned restart",
                  update: "game update" };
// Whose doing a start was, as every door names it.
const kinds = { first_start: "first start", supervised: "supervised restart", operator: "restart by the operator",
                planned: "planned restart" };
const token = (() => {
  const found = location.hash.match(/token=([^&]+)/);
  if (!found) return undefined;
  try { return decodeURIComponent(found[1]); } catch (e) { return found[1]; }
})();

function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
}

function rowClass(s) {
  if (s.paused) return "paused";
  if (s.up) return "up";
  if (s.process === "restarting" || s.process === "unknown") return "starting";
  return "down";
}

// Each state cell is coloured by its own state, and shows its count where it has one.
const processLooks = { running: "ok", restarting: "wait", unknown: "wait", lost: "bad", start_failed: "bad", paused: "off" };
const networkLooks = { normal: "ok", unknown: "wait", timeout: "bad", paused: "off" };
function updating(s) { return !!(s.update && s.update.updating); }
function processText(s) {
  if (updating(s)) return "updating";
  if (s.stopping) return "stopping (" + s.stopping_seconds_left + " s left)";
  return s.process === "lost" ? "lost (" + s.lost_count + "/3)" : s.process;
}
function processLook(s) { return s.stopping || updating(s) ? "wait" : processLooks[s.process] || "wait"; }
function networkText(s) { return s.network === "timeout" ? "timeout (" + s.timeout_count + "/20)" : s.network; }

function when(t) { return t ? new Date(t * 1000).toLocaleString() : ""; }
function soon(t) {
  return new Date(t * 1000).toLocaleString([], { month: "short", day: "numeric", hour: "2-digit", minute: "2-digit" });
}

function draw(data) {
  const body = document.querySelector("#servers tbody");
  body.replaceChildren();
  let up = 0;
  for (const s of data.servers) {
    const tr = document.createElement("tr");
    tr.className = "server " + rowClass(s);
    tr.dataset.name = s.name;
    if (s.up) up++;
    cell(tr, s.name);
    cell(tr, s.address + ":" + s.port);
    cell(tr, processText(s), "state " + processLook(s));
    cell(tr, networkText(s), "state " + (networkLooks[s.network] || "wait"));
    cell(tr, s.map === null ? "-" : s.map);
    cell(tr, s.players === null ? "-" : s.players + "/" + s.max_players);
    // The Restarts cell as the list shows it, and under it the restarts by kind.
    cell(tr, "", "restarts");
    const count = document.createElement("div");
    count.textContent = String(s.restarts);
    const byKind = s.restarts_by_kind || {};
    if (byKind.operator || byKind.planned) {
      const others = document.createElement("small");
      others.textContent = " (supervised " + (byKind.supervised || 0) + ", by the operator " + (byKind.operator || 0) +
                           ", planned " + (byKind.planned || 0) + ")";
      count.appendChild(others);
    }
    tr.lastChild.appendChild(count);
    cell(tr, s.next_planned_restart ? soon(s.next_planned_restart) : "none", "next");
    const notes = [];
    if (s.pause_reason) notes.push([s.pause_kind === "guard" ? "note-error" : "note-pause", s.pause_reason]);
    if (s.start_error) notes.push(["note-error", "start failed: " + s.start_error.text]);
    if (s.rcon_trouble) notes.push(["note-rcon", (/^RCON/.test(s.rcon_trouble) ? "" : "RCON: ") + s.rcon_trouble]);
    if (s.look_error) notes.push(["note-error", "cannot look for its process: " + s.look_error.text]);
    const u = s.update || {};
    if (u.available_since && !u.updating)
      notes.push(["note-update", "update available since " + soon(u.available_since) +
                                 (u.due_by ? "; made by " + soon(u.due_by) + " at the latest" : "")]);
    if (u.last_result && u.last_result !== "none" && u.last_result !== "made")
      notes.push(["note-error", "last update " + u.last_result.replace("_", " ") + (u.last_detail ? ": " + u.last_detail : "")]);
    cell(tr, notes.length ? "" : "-", "notes");
    if (notes.length) {
      const list = document.createElement("div");
      for (const [cls, text] of notes) {
        const note = document.createElement("span");
        note.className = cls;
        note.textContent = text;
        list.appendChild(note);
      }
      tr.lastChild.appendChild(list);
    }
    if (s.crash_loop_paused) {
      const mark = document.createElement("span");
      mark.className = "loop";
      mark.textContent = "crash loop";
      tr.firstChild.appendChild(mark);
    }
    body.appendChild(tr);
  }
  document.getElementById("summary").textContent = up + " of " + data.servers.length +
      " servers answering; self-test " + (data.self_test_ok ? "ok" : "failing") + "; updated " + when(data.time);
  const restarts = document.querySelector("#restarts tbody");
  restarts.replaceChildren();
  for (const r of data.recent_restarts || []) {
    const tr = document.createElement("tr");
    tr.className = "restart";
    cell(tr, when(r.time));
    cell(tr, r.name);
    cell(tr, kinds[r.kind] || r.kind || "");
    // Only the supervision's restarts and the game updates have a reason beyond their kind.
    const reason = r.kind === "supervised" || r.reason === "update" ? reasons[r.reason] || r.reason : "";
    cell(tr, r.error ? (reason ? reason + ": " : "") + "could not start (" + r.error.text + ")" : reason || "-");
    restarts.appendChild(tr);
  }
}

async function refresh() {
  try {
    const response = await fetch("/api/servers", token ? { headers: { Authorization: "Bearer " + token } } : {});
    if (!response.ok) throw new Error("HTTP " + response.status);
    draw(await response.json());
    document.getElementById("error").textContent = "";
  } catch (e) {
    document.getElementById("error").textContent = "Cannot reach the monitor: " + e.message;
  }
}

refresh();
setInterval(refresh, 3000);
</script>
</body>
</html>
)HTML";
  return page;
}

}  // namespace tervane
