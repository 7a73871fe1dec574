// A Sparkplug B host application for qvgateway's tests, built from npm
// packages nobody here wrote: `mqtt` connects, `sparkplug-payload` decodes.
// Every message under spBv1.0/<group>/# is printed as one JSON line on
// standard output; commands read as JSON lines from standard input publish
// STATE, NCMD or DCMD, each answered {"sent": ...} once the broker
// acknowledged it.
//
// Usage: node host.js PORT GROUP HOST_ID [CLIENT_ID]
//   {"cmd": "state", "online": true}
//   {"cmd": "ncmd", "node": "line1", "metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": true}]}
//   {"cmd": "dcmd", "node": "line1", "device": "press1", "metrics": [{"name": "x", "type": "Double", "value": 1.5}]}
"use strict";

const mqtt = require("mqtt");
const readline = require("readline");
const sparkplug = require("sparkplug-payload").get("spBv1.0");

const [port, group, hostId, clientId] = process.argv.slice(2);

function plain(value) {
  // 64-bit numbers decode as Long objects; the tests want numbers.
  if (value !== null && typeof value === "object" && typeof value.toNumber === "function") return value.toNumber();
  if (Buffer.isBuffer(value)) return value.toString("hex");
  if (Array.isArray(value)) return value.map(plain);
  if (value !== null && typeof value === "object") {
    const out = {};
    for (const key of Object.keys(value)) out[key] = plain(value[key]);
    return out;
  }
  return value;
}

function say(object) {
  process.stdout.write(JSON.stringify(object) + "\n");
}

const client = mqtt.connect(`mqtt://127.0.0.1:${port}`, {
  clientId: clientId || `qv-test-host-${process.pid}`,
  // A session the broker keeps across its own restart (with persistence):
  // what it acknowledged to the edge node reaches this host.
  clean: false,
  reconnectPeriod: 200,
  protocolVersion: 4,
});

client.on("connect", (connack) => {
  if (connack.sessionPresent) {
    say({ connected: true, session: true });
    return;
  }
  client.subscribe(`spBv1.0/${group}/#`, { qos: 1 }, (error) => {
    if (error) {
      say({ error: String(error) });
      return;
    }
    say({ connected: true, session: false });
  });
});

client.on("message", (topic, payload, packet) => {
  const parts = topic.split("/");
  const line = { t: Date.now(), topic, type: parts[2], node: parts[3], device: parts[4] || null };
  if (parts[2] === "STATE") return;
  try {
    const decoded = plain(sparkplug.decodePayload(payload));
    line.seq = decoded.seq === undefined ? null : decoded.seq;
    line.timestamp = decoded.timestamp;
    line.metrics = decoded.metrics || [];
  } catch (error) {
    line.error = String(error);
  }
  line.retain = packet.retain;
  // The broker's own redelivery of a QoS 1 message (after its restart).
  line.dup = packet.dup;
  say(line);
});

client.on("error", (error) => say({ error: String(error) }));

readline.createInterface({ input: process.stdin }).on("line", (text) => {
  let command;
  try {
    command = JSON.parse(text);
  } catch (error) {
    say({ error: "not JSON: " + text });
    return;
  }
  let topic, payload, retain = false;
  if (command.cmd === "state") {
    topic = `spBv1.0/STATE/${hostId}`;
    payload = JSON.stringify({ online: command.online, timestamp: Date.now() });
    retain = true;
  } else {
    const type = command.cmd === "ncmd" ? "NCMD" : "DCMD";
    topic = `spBv1.0/${group}/${type}/${command.node}` + (type === "DCMD" ? `/${command.device}` : "");
    payload = sparkplug.encodePayload({ timestamp: Date.now(), metrics: command.metrics });
  }
  client.publish(topic, payload, { qos: 1, retain }, (error) => say({ sent: command.cmd, error: error ? String(error) : null }));
});

process.on("SIGTERM", () => client.end(false, {}, () => process.exit(0)));
