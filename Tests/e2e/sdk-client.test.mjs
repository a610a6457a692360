// Drives quill-mcp the way an agent's client does: the official MCP client SDK starts the shim as
// a child process and talks to it over standard input and output. Behind the shim stands
// quill-peer, the stand-in for the Quill desktop application, on a private socket.
//
// Paths come from the environment (scripts/e2e sets them):
//   QUILL_MCP_BINARY     the quill-mcp executable
//   QUILL_PEER_BINARY    the quill-peer executable
//   QUILL_PROJECTS_FILE  the projects file given to quill-peer (examples/projects.json)

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { McpError } from '@modelcontextprotocol/sdk/types.js';

// Only so that a broken build fails instead of hanging; nothing here is expected to come close.
const PATIENCE_MS = 60_000;
const SUITE_TIMEOUT_MS = 180_000;

function requiredPath(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run this test through scripts/e2e <build-dir>`);
  return value;
}

const shimBinary = requiredPath('QUILL_MCP_BINARY');
const peerBinary = requiredPath('QUILL_PEER_BINARY');
const projectsFile = requiredPath('QUILL_PROJECTS_FILE');
const projectNames = JSON.parse(readFileSync(projectsFile, 'utf8')).projects.map((p) => p.name);

// What the agent reads, byte for byte.
const INSTRUCTIONS =
  "Quill holds the user's project memory on this Mac: cited facts, uncertain items, and hard " +
  'do-NOT rules, kept strictly separate per project. Before doing any work on one of the ' +
  "user's projects, call get_context_packet with the project's name (and what you're about to " +
  'do) so you start from their ground truth instead of guessing.';
const TOOL_DESCRIPTION =
  "Returns Quill's cited briefing for one of the user's projects: known facts with sources and " +
  'match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, and ' +
  "what changed since this client last asked. Call before doing work on a user's project.";
const INPUT_SCHEMA = {
  type: 'object',
  properties: {
    project: {
      type: 'string',
      description:
        'Project name as shown in Quill (fuzzy-matched). Omit if the user has only one project.',
    },
    task: {
      type: 'string',
      description: "What you're about to do \u2014 selects the most relevant facts. Optional.",
    },
  },
  required: [],
};
const ANNOTATIONS = { readOnlyHint: true, openWorldHint: false };
const APP_NOT_RUNNING = "Quill isn't running \u2014 open Quill on this Mac, then try again.";

function toolListWith(description) {
  return [
    {
      name: 'get_context_packet',
      title: 'Get Quill context packet',
      description,
      inputSchema: INPUT_SCHEMA,
      annotations: ANNOTATIONS,
    },
  ];
}

function withTimeout(promise, what) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`gave up waiting for ${what}`)), PATIENCE_MS);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

// Whatever this file starts or creates is removed also when the test process ends early, by an
// uncaught error or a stop signal, so that no quill-peer is left listening.
const leftovers = { children: new Set(), dirs: new Set() };
process.on('exit', () => {
  for (const child of leftovers.children) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
  for (const dir of leftovers.dirs) rmSync(dir, { recursive: true, force: true });
});
for (const [signal, number] of [['SIGHUP', 1], ['SIGINT', 2], ['SIGTERM', 15]]) {
  process.on(signal, () => process.exit(128 + number));
}

// A private folder with short names: Unix socket paths are limited to about 100 bytes.
function makePrivateDir() {
  const dir = mkdtempSync('/tmp/qe2e-');
  leftovers.dirs.add(dir);
  return dir;
}

function collect(stream) {
  const chunks = [];
  stream.setEncoding('utf8');
  stream.on('data', (chunk) => chunks.push(chunk));
  const ended = new Promise((resolve) => stream.once('end', resolve));
  return { text: () => chunks.join(''), ended };
}

function exitOf(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) {
      resolve({ code: child.exitCode, signal: child.signalCode });
    } else {
      child.once('exit', (code, signal) => resolve({ code, signal }));
    }
  });
}

function socketAccepts(path) {
  return new Promise((resolve) => {
    const probe = net.connect(path);
    probe.once('connect', () => {
      probe.destroy();
      resolve(true);
    });
    probe.once('error', () => resolve(false));
  });
}

// Starts quill-peer on the given paths and returns once its socket accepts connections.
async function startPeer(socketPath, statusPath) {
  const child = spawn(peerBinary, ['--projects', projectsFile], {
    env: { ...process.env, QUILL_MCP_SOCKET: socketPath, QUILL_MCP_STATUS: statusPath },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  leftovers.children.add(child);
  const stderr = collect(child.stderr);
  const exited = exitOf(child);
  let gone = false;
  exited.then(() => {
    gone = true;
  });
  const ready = (async () => {
    while (!stderr.text().includes(`quill-peer: listening on ${socketPath}`)) {
      if (gone) throw new Error(`quill-peer exited early:\n${stderr.text()}`);
      await sleep(50);
    }
    while (!(await socketAccepts(socketPath))) {
      if (gone) throw new Error(`quill-peer exited early:\n${stderr.text()}`);
      await sleep(50);
    }
  })();
  await withTimeout(ready, 'quill-peer to listen');
  return {
    async stop() {
      if (!gone) child.kill('SIGTERM');
      try {
        await withTimeout(exited, 'quill-peer to stop');
      } finally {
        if (!gone) child.kill('SIGKILL');
      }
    },
  };
}

// The SDK's stdio transport, made observable: it keeps hold of the shim's process so that its
// exit status can be read, and records the protocol version that the handshake settled on (the
// client reports it through this optional transport hook).
class ObservedStdioTransport extends StdioClientTransport {
  async start() {
    const started = super.start();
    // The transport keeps the child in a field of its own; the SDK offers no other way to learn
    // how the process ended.
    this.child = this._process;
    if (!this.child) throw new Error('the SDK transport no longer exposes its child process');
    leftovers.children.add(this.child);
    this.exited = exitOf(this.child);
    return started;
  }

  setProtocolVersion(version) {
    this.negotiatedProtocolVersion = version;
  }
}

// Starts quill-mcp as Claude Code would and completes the MCP handshake.
async function openSession(socketPath, statusPath) {
  const transport = new ObservedStdioTransport({
    command: shimBinary,
    args: ['--client', 'claude-code'],
    env: {
      QUILL_MCP_SOCKET: socketPath,
      QUILL_MCP_STATUS: statusPath,
      QUILL_MCP_NO_LAUNCH: '1',
    },
    stderr: 'pipe',
  });
  const stderr = collect(transport.stderr);
  const client = new Client({ name: 'quill-e2e', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  await withTimeout(client.connect(transport), 'the MCP handshake');
  return {
    client,
    transport,
    errors,
    // Ends the session the way a client does, by closing the shim's standard input, and reports
    // how the shim ended and what it wrote on standard error.
    async close() {
      transport.child.stdin.end();
      const ending = await withTimeout(transport.exited, 'quill-mcp to exit');
      await withTimeout(stderr.ended, 'the end of quill-mcp standard error');
      await client.close();
      return { ...ending, stderr: stderr.text() };
    },
    // Makes sure that no shim outlives a failed test.
    async abandon() {
      const { child } = transport;
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
      await transport.exited;
    },
  };
}

function textOf(result) {
  assert.equal(result.content.length, 1, 'a tool result carries exactly one content block');
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

describe('an MCP client talking to quill-mcp while Quill runs', { timeout: SUITE_TIMEOUT_MS }, () => {
  let dir;
  let peer;
  let session;

  before(async () => {
    dir = makePrivateDir();
    peer = await startPeer(join(dir, 's'), join(dir, 'status.json'));
    session = await openSession(join(dir, 's'), join(dir, 'status.json'));
  });

  after(async () => {
    await session?.abandon();
    if (peer) await peer.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('the handshake names Quill, settles on a protocol version and gives the instructions', () => {
    assert.deepEqual(session.client.getServerVersion(), {
      name: 'quill',
      title: 'Quill',
      version: '1.0',
    });
    // The SDK asks for a newer version than the shim speaks; the shim answers with its newest.
    assert.equal(session.transport.negotiatedProtocolVersion, '2025-06-18');
    assert.deepEqual(session.client.getServerCapabilities(), { tools: { listChanged: false } });
    assert.equal(session.client.getInstructions(), INSTRUCTIONS);
  });

  test('the tool list is the application\u2019s, naming every project', async () => {
    const { tools } = await session.client.listTools();
    assert.deepEqual(
      tools,
      toolListWith(`${TOOL_DESCRIPTION} Current projects: ${projectNames.join(', ')}.`),
    );
  });

  test('a loosely named project gets its briefing', async () => {
    const result = await session.client.callTool({
      name: 'get_context_packet',
      arguments: { project: '  lighthouse  ', task: 'plan the next release' },
    });
    assert.ok(!result.isError, `expected a briefing, got: ${JSON.stringify(result)}`);
    assert.match(textOf(result), /Lighthouse Mobile App/);
  });

  test('names that match several projects or none are answered with what the user has', async () => {
    const ambiguous = await session.client.callTool({
      name: 'get_context_packet',
      arguments: { project: 'harbor' },
    });
    assert.equal(ambiguous.isError, true);
    const harbors = projectNames.filter((name) => name.toLowerCase().startsWith('harbor'));
    assert.equal(
      textOf(ambiguous),
      `The user has several Quill projects: ${harbors.join(', ')}. ` +
        'Ask the user which one they mean, then retry with that name.',
    );

    const unknown = await session.client.callTool({
      name: 'get_context_packet',
      arguments: { project: 'zebra' },
    });
    assert.equal(unknown.isError, true);
    assert.equal(
      textOf(unknown),
      `No Quill project matches "zebra". The user's projects are: ${projectNames.join(', ')}. ` +
        'Retry with one of those names.',
    );
  });

  test('a ping and a call of a tool the shim does not offer get proper JSON-RPC answers', async () => {
    assert.deepEqual(await session.client.ping(), {});
    await assert.rejects(session.client.callTool({ name: 'get_weather', arguments: {} }), (error) => {
      assert.ok(error instanceof McpError, `expected an McpError, got ${error}`);
      assert.equal(error.code, -32602);
      assert.equal(error.message, 'MCP error -32602: Unknown tool');
      return true;
    });
  });

  test('closing the session ends the shim with status 0 and a silent standard error', async () => {
    const { code, signal, stderr } = await session.close();
    assert.deepEqual(session.errors, []);
    assert.equal(stderr, '');
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
  });
});

describe('an MCP client talking to quill-mcp while Quill is not running', { timeout: SUITE_TIMEOUT_MS }, () => {
  let dir;
  let session;

  before(async () => {
    dir = makePrivateDir();
    // Nobody listens at this path and there is no status file.
    session = await openSession(join(dir, 's'), join(dir, 'status.json'));
  });

  after(async () => {
    await session?.abandon();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('the handshake still succeeds', () => {
    assert.deepEqual(session.client.getServerVersion(), {
      name: 'quill',
      title: 'Quill',
      version: '1.0',
    });
  });

  test('the tool list is the shim\u2019s own, without project names', async () => {
    const { tools } = await session.client.listTools();
    assert.deepEqual(tools, toolListWith(TOOL_DESCRIPTION));
  });

  test('a call says that Quill is not running', async () => {
    const result = await session.client.callTool({
      name: 'get_context_packet',
      arguments: { project: 'Orchard CRM' },
    });
    assert.equal(result.isError, true);
    assert.equal(textOf(result), APP_NOT_RUNNING);
  });

  test('closing the session ends the shim with status 0 and a silent standard error', async () => {
    const { code, signal, stderr } = await session.close();
    assert.deepEqual(session.errors, []);
    assert.equal(stderr, '');
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
  });
});
