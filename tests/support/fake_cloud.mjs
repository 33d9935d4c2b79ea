#!/usr/bin/env node
// A stand-in for the cloud service's connector API, for tests and the local demo.
//
//   node fake_cloud.mjs --tls-dir DIR [--port N] [--host 127.0.0.1]
//
// On start it makes DIR/ca.pem (a test certificate authority) and a server certificate for
// "localhost" and 127.0.0.1 when they are missing (with the openssl command), listens with
// HTTPS and prints one line "listening PORT" on standard output. Clients trust it through
// SSL_CERT_FILE=DIR/ca.pem.
//
// Connector API (JSON): POST /connector/enroll, POST /servers, DELETE /servers/<slug>,
// GET /connector/status, POST /connector/heartbeat. A device is enrolled with any code; its
// credential is then required as "Authorization: Bearer ..." on every other call.
//
// Control interface for tests (same origin, no credential):
//   GET  /_control/calls   -> every call received so far: [{method, path, headers, body}]
//   POST /_control/state   <- {"enabled": ["slug", ...] | null,   null: every target enabled
//                              "force": {"/heartbeat": 401, ...},  answer status per path
//                              "malformed": {"/heartbeat": true},  answer {} instead
//                              "revoked": true,                    every credential refused
//                              "devicePort": 47900,                bridge port of enrolled devices
//                              "enrollExtra": {"servers": []}}     keys added to enrolment answers
//   POST /_control/reset   clears the recorded calls
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import https from "node:https";
import path from "node:path";

function parseArguments(argv) {
  const options = { port: 0, host: "127.0.0.1", tlsDir: null };
  for (let i = 0; i < argv.length; i++) {
    const word = argv[i];
    if (word === "--help" || word === "-h") {
      process.stdout.write(
        "usage: fake_cloud.mjs --tls-dir DIR [--port N] [--host ADDRESS]\n" +
          "Serves the connector API over HTTPS; see the comment at the top of this file.\n",
      );
      process.exit(0);
    } else if (word === "--port") {
      options.port = Number(argv[++i]);
    } else if (word === "--host") {
      options.host = argv[++i];
    } else if (word === "--tls-dir") {
      options.tlsDir = argv[++i];
    } else {
      process.stderr.write(`fake_cloud: unknown argument ${word}\n`);
      process.exit(2);
    }
  }
  if (!options.tlsDir) {
    process.stderr.write("fake_cloud: --tls-dir is required\n");
    process.exit(2);
  }
  return options;
}

function ensureCertificates(dir) {
  fs.mkdirSync(dir, { recursive: true });
  const ca = path.join(dir, "ca.pem");
  const caKey = path.join(dir, "ca-key.pem");
  const cert = path.join(dir, "server.pem");
  const key = path.join(dir, "server-key.pem");
  if (!fs.existsSync(cert) || !fs.existsSync(ca)) {
    const run = (args) => execFileSync("openssl", args, { stdio: ["ignore", "ignore", "pipe"] });
    run(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey, "-out", ca,
         "-days", "2", "-subj", "/CN=Pellum Test CA",
         "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign"]);
    const csr = path.join(dir, "server.csr");
    const ext = path.join(dir, "server.ext");
    fs.writeFileSync(ext, "subjectAltName=DNS:localhost,IP:127.0.0.1\n" +
                          "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n");
    run(["req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", csr,
         "-subj", "/CN=localhost"]);
    run(["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", caKey, "-CAcreateserial",
         "-out", cert, "-days", "2", "-extfile", ext]);
  }
  return { cert: fs.readFileSync(cert), key: fs.readFileSync(key) };
}

const kBodyLimit = 1 << 20;

const state = {
  calls: [],
  devices: new Map(), // credential -> device
  enabled: null,
  force: {},
  malformed: {},
  revoked: false,
  devicePort: 47831,
  enrollExtra: {},
};

function send(response, status, object) {
  const body = object === undefined ? "" : JSON.stringify(object);
  response.writeHead(status, { "content-type": "application/json",
                               "content-length": Buffer.byteLength(body) });
  response.end(body);
}

function newDevice(port) {
  const token = () => Buffer.from(crypto.getRandomValues(new Uint8Array(24))).toString("hex");
  return {
    id: `dev-${state.devices.size + 1}`,
    name: "Test Mac",
    hostname: `test-${state.devices.size + 1}.tunnel.invalid`,
    port,
    credential: `cred-${token()}`,
    bridgePassword: `bridge-${token()}`,
    tunnelToken: `tunnel-${token()}`,
  };
}

function handleControl(request, response, route, body) {
  if (route === "/_control/calls" && request.method === "GET") {
    return send(response, 200, state.calls);
  }
  if (route === "/_control/reset" && request.method === "POST") {
    state.calls = [];
    return send(response, 200, {});
  }
  if (route === "/_control/state" && request.method === "POST") {
    for (const key of ["enabled", "force", "malformed", "revoked", "devicePort", "enrollExtra"]) {
      if (key in body) state[key] = body[key];
    }
    return send(response, 200, {});
  }
  return send(response, 404, { error: "Unknown control call." });
}

function handleConnector(request, response, route, body) {
  const forced = state.force[route];
  if (forced) {
    return send(response, forced, { error: `Forced failure (HTTP ${forced}).` });
  }
  if (state.malformed[route]) {
    return send(response, 200, {});
  }
  if (route === "/enroll" && request.method === "POST") {
    if (typeof body.code !== "string") {
      return send(response, 400, { error: "Enrollment code is invalid." });
    }
    const device = newDevice(state.devicePort);
    state.devices.set(device.credential, device);
    return send(response, 200, { ...device, ...state.enrollExtra });
  }
  const authorization = request.headers["authorization"] ?? "";
  const credential = authorization.startsWith("Bearer ") ? authorization.slice(7) : "";
  if (state.revoked || !state.devices.has(credential)) {
    return send(response, 401, { error: "Device credential revoked." });
  }
  if (route === "/status" && request.method === "GET") {
    return send(response, 200, { status: "active" });
  }
  if (route === "/servers" && request.method === "POST") {
    return send(response, 200, { ok: true });
  }
  if (route.startsWith("/servers/") && request.method === "DELETE") {
    return send(response, 200, { ok: true });
  }
  if (route === "/heartbeat" && request.method === "POST") {
    const targets = Array.isArray(body.targets) ? body.targets : [];
    const servers = targets.map((target) => ({
      slug: target.slug,
      enabled: state.enabled === null || state.enabled.includes(target.slug),
    }));
    return send(response, 200, { servers });
  }
  return send(response, 404, { error: "Not found." });
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const server = https.createServer(ensureCertificates(options.tlsDir), (request, response) => {
    const chunks = [];
    let size = 0;
    request.on("data", (chunk) => {
      size += chunk.length;
      if (size > kBodyLimit) {
        request.destroy();
        return;
      }
      chunks.push(chunk);
    });
    request.on("end", () => {
      const text = Buffer.concat(chunks).toString("utf8");
      let body = {};
      try {
        body = text ? JSON.parse(text) : {};
      } catch {
        return send(response, 400, { error: "Invalid JSON." });
      }
      const url = new URL(request.url, "https://fake.invalid");
      if (url.pathname.startsWith("/_control/")) {
        return handleControl(request, response, url.pathname, body);
      }
      state.calls.push({ method: request.method, path: url.pathname,
                         headers: request.headers, body: text ? body : null });
      if (!url.pathname.startsWith("/connector/")) {
        return send(response, 404, { error: "Not found." });
      }
      return handleConnector(request, response, url.pathname.slice("/connector".length), body);
    });
  });
  server.listen(options.port, options.host, () => {
    process.stdout.write(`listening ${server.address().port}\n`);
  });
  const stop = () => {
    server.closeAllConnections();
    server.close(() => process.exit(0));
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
}

main();
