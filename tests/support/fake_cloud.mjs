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
//                              "desktop": {…}}                     the app's pages, below
//   POST /_control/reset   clears the recorded calls
//
// The desktop app's pages: GET /desktop/login?challenge&state redirects to
// pellum://signin?state=…&code=… (a one-time code bound to the S256 challenge); POST
// /desktop/redeem {code, verifier} with "Origin" equal to this service's origin sets a "session"
// cookie and redirects to /app, and otherwise redirects to /desktop/redeem; GET /app shows the
// dashboard to a signed-in session and redirects to / otherwise; GET /api/me answers
// {"user": {"id", "email"}} and POST /api/desktop/pair {installationId, name, port} answers
// "userId" and a new device record, both only with a session (else 401). "force" (keyed by the
// full path, e.g. "/api/me") makes any of them fail with {error}, or with "forceBody" instead.
// The "desktop" switches: "user" (the /me answer's user, any JSON), "pairUserId" and
// "pairEndpoint" (override the pair answer's), "redeemTo" (where a good redeem redirects).
import { createHash } from "node:crypto";
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
  forceBody: {},
  desktop: {},
  codes: new Map(), // one-time sign-in code -> S256 challenge
  sessions: new Set(),
};

const kDesktopDefaults = {
  user: { id: "user-1", email: "person@example.com" },
  pairUserId: null,
  pairEndpoint: null,
  redeemTo: "/app",
};

function desktopSetting(key) {
  return key in state.desktop ? state.desktop[key] : kDesktopDefaults[key];
}

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
    for (const key of ["enabled", "force", "malformed", "revoked", "devicePort", "enrollExtra",
                       "forceBody", "desktop"]) {
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

function redirect(response, location, headers = {}) {
  response.writeHead(303, { location, "content-length": 0, ...headers });
  response.end();
}

function page(response, status, title) {
  const body = `<!doctype html><title>${title}</title><h1>${title}</h1>`;
  response.writeHead(status, { "content-type": "text/html", "content-length": Buffer.byteLength(body) });
  response.end(body);
}

function base64url(bytes) {
  return Buffer.from(bytes).toString("base64").replaceAll("+", "-").replaceAll("/", "_")
    .replaceAll("=", "");
}

function signedIn(request) {
  const cookies = (request.headers["cookie"] ?? "").split(";").map((part) => part.trim());
  return cookies.some((cookie) => cookie.startsWith("session=") &&
                                  state.sessions.has(cookie.slice("session=".length)));
}

// The app's sign-in pages and JSON calls; false when `route` is none of them.
function handleDesktop(request, response, route, url, body, origin) {
  const forced = state.force[route];
  if (forced) {
    return send(response, forced, state.forceBody[route] ?? { error: `Forced failure (HTTP ${forced}).` }), true;
  }
  if (route === "/desktop/login" && request.method === "GET") {
    const challenge = url.searchParams.get("challenge");
    const signInState = url.searchParams.get("state");
    const code = base64url(crypto.getRandomValues(new Uint8Array(16)));
    state.codes.set(code, challenge);
    const target = `pellum://signin?state=${encodeURIComponent(signInState)}&code=${code}`;
    return redirect(response, target), true;
  }
  if (route === "/desktop/redeem" && request.method === "POST") {
    const challenge = state.codes.get(body.code);
    state.codes.delete(body.code);
    const verified = typeof body.verifier === "string" && challenge !== undefined &&
      base64url(createHash("sha256").update(body.verifier).digest()) === challenge;
    if (request.headers["origin"] !== origin || !verified) {
      return redirect(response, "/desktop/redeem"), true;
    }
    const session = base64url(crypto.getRandomValues(new Uint8Array(24)));
    state.sessions.add(session);
    return redirect(response, desktopSetting("redeemTo"), {
      "set-cookie": `session=${session}; Path=/; HttpOnly; Secure; SameSite=Lax`,
    }), true;
  }
  if (route === "/desktop/redeem" && request.method === "GET") {
    return page(response, 200, "Sign-in handoff failed"), true;
  }
  if (route === "/app" && request.method === "GET") {
    return (signedIn(request) ? page(response, 200, "Dashboard") : redirect(response, "/")), true;
  }
  if (route === "/" && request.method === "GET") {
    return page(response, 200, "Welcome"), true;
  }
  if (route === "/api/me" && request.method === "GET") {
    if (!signedIn(request)) return send(response, 401, { error: "Sign in required." }), true;
    return send(response, 200, { user: desktopSetting("user") }), true;
  }
  if (route === "/api/desktop/pair" && request.method === "POST") {
    if (!signedIn(request)) return send(response, 401, { error: "Sign in required." }), true;
    const device = newDevice(Number.isInteger(body.port) ? body.port : state.devicePort);
    device.name = typeof body.name === "string" ? body.name : device.name;
    state.devices.set(device.credential, device);
    const user = desktopSetting("user");
    return send(response, 200, {
      userId: desktopSetting("pairUserId") ?? user?.id ?? "user-1",
      endpoint: desktopSetting("pairEndpoint") ?? origin,
      ...device,
      servers: [],
    }), true;
  }
  return false;
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
        if (body === null || typeof body !== "object") body = {};
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
        const origin = `https://${request.headers["host"]}`;
        if (handleDesktop(request, response, url.pathname, url, body, origin)) return;
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
