// Drives quill-mcp the way an agent's client does: the official MCP client SDK starts the shim as
// a child process and talks to it over standard input and output. Behind the shim stands
// quill-peer, the stand-in for the Quill desktop application, on a private socket. The exact
// bytes of every answer are checked by the C++ process tests; this proves that real clients
// accept them: SDK 1.x with the `initialize` handshake, and SDK 2.x speaking revision 2026-07-28
// (no handshake; every request carries its version in `_meta`), pinned to it and in `auto` mode.
//
// Paths come from the environment (scripts/e2e sets them):
//   QUILL_MCP_BINARY     the quill-mcp executable
//   QUILL_PEER_BINARY    the quill-peer executable
//   QUILL_PROJECTS_FILE  the projects file given to quill-peer (examples/projects.json)

import { after, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:net';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { Client as ClientV2 } from '@modelcontextprotocol/client';
import { StdioClientTransport as StdioClientTransportV2 } from '@modelcontextprotocol/client/stdio';

// Only so that a broken build fails instead of hanging; nothing here is expected to come close.
const PATIENCE_MS = 60_000;

function requiredPath(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run this test through scripts/e2e <build-dir>`);
  return value;
}

const shimBinary = requiredPath('QUILL_MCP_BINARY');
const peerBinary = requiredPath('QUILL_PEER_BINARY');
const projectsFile = requiredPath('QUILL_PROJECTS_FILE');
const projectNames = JSON.parse(readFileSync(projectsFile, 'utf8')).projects.map((p) => p.name);

// Results as Quill might send them, each marked with whether both SDK clients accept it.
const shapes = JSON.parse(
  readFileSync(new URL('../tool-result-shapes.json', import.meta.url), 'utf8'),
);
const INTERNAL_ERROR =
  'Quill hit an internal error building the briefing. Try again in a moment.';

const TOOL_DESCRIPTION =
  "Returns Quill's cited briefing for one of the user's projects: known facts with sources and " +
  'match %, uncertain items to verify, hard do-NOT rules, what was deliberately withheld, and ' +
  "what changed since this client last asked. Call before doing work on a user's project.";

function withTimeout(promise, what) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`gave up waiting for ${what}`)), PATIENCE_MS);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

// Whatever this file starts or creates is removed also when the test process ends early, so that
// no quill-peer is left listening.
const children = new Set();
const dir = mkdtempSync('/tmp/qe2e-'); // short: Unix socket paths are limited to about 100 bytes
process.on('exit', () => {
  for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
  rmSync(dir, { recursive: true, force: true });
});
for (const [signal, number] of [['SIGHUP', 1], ['SIGINT', 2], ['SIGTERM', 15]]) {
  process.on(signal, () => process.exit(128 + number));
}

function collect(stream) {
  let text = '';
  stream.setEncoding('utf8');
  stream.on('data', (chunk) => (text += chunk));
  const ended = new Promise((resolve) => stream.once('end', resolve));
  return { text: () => text, ended };
}

function exitOf(child) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve({ code: child.exitCode, signal: child.signalCode });
  }
  return new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
}

// The SDK's stdio transport, made observable: it keeps hold of the shim's process so that its
// exit status can be read, and records the protocol version the handshake settled on.
class ObservedStdioTransport extends StdioClientTransport {
  async start() {
    const started = super.start();
    // The SDK offers no other way to learn how the process ended.
    this.child = this._process;
    if (!this.child) throw new Error('the SDK transport no longer exposes its child process');
    children.add(this.child);
    this.exited = exitOf(this.child);
    return started;
  }

  setProtocolVersion(version) {
    this.negotiatedProtocolVersion = version;
  }
}

// Starts quill-mcp as Claude Code would and completes the MCP handshake.
async function openSession(name) {
  const transport = new ObservedStdioTransport({
    command: shimBinary,
    args: ['--client', 'claude-code'],
    env: {
      QUILL_MCP_SOCKET: join(dir, `${name}.sock`),
      QUILL_MCP_STATUS: join(dir, `${name}.json`),
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
    // Ends the session the way a client does, by closing the shim's standard input, and checks
    // that the shim ended with status 0 and wrote nothing on standard error.
    async close() {
      transport.child.stdin.end();
      const ending = await withTimeout(transport.exited, 'quill-mcp to exit');
      await withTimeout(stderr.ended, 'the end of quill-mcp standard error');
      await client.close();
      assert.deepEqual(errors, []);
      assert.deepEqual({ ...ending, stderr: stderr.text() }, { code: 0, signal: null, stderr: '' });
    },
  };
}

// SDK 2.x's own stdio transport probes with `server/discover` on a short-lived sibling process and
// then starts the session's process, which sees no probe; any subclass of it probes in place, on
// the session's process, as a client that answers to neither shape would.
class InPlaceStdioTransportV2 extends StdioClientTransportV2 {}

// Starts quill-mcp with SDK 2.x in the negotiation `mode` ('auto' or { pin }), without --client,
// so that the application names the client after the clientInfo in each request's `_meta`.
async function openSessionV2(name, mode, Transport) {
  const transport = new Transport({
    command: shimBinary,
    args: [],
    env: {
      QUILL_MCP_SOCKET: join(dir, `${name}.sock`),
      QUILL_MCP_STATUS: join(dir, `${name}.json`),
      QUILL_MCP_NO_LAUNCH: '1',
    },
    stderr: 'pipe',
  });
  const stderr = collect(transport.stderr);
  const client = new ClientV2(
    { name: 'quill-e2e-v2', version: '2.4.0' },
    { versionNegotiation: { mode } },
  );
  const errors = [];
  client.onerror = (error) => errors.push(error);
  await withTimeout(client.connect(transport), 'the version negotiation');
  // The SDK offers no other way to learn how the session's process ended.
  const child = transport._process;
  if (!child) throw new Error('the SDK 2.x transport no longer exposes its child process');
  children.add(child);
  const exited = exitOf(child);
  return {
    client,
    async close() {
      child.stdin.end();
      const ending = await withTimeout(exited, 'quill-mcp to exit');
      await withTimeout(stderr.ended, 'the end of quill-mcp standard error');
      await client.close();
      assert.deepEqual(errors, []);
      assert.deepEqual({ ...ending, stderr: stderr.text() }, { code: 0, signal: null, stderr: '' });
    },
  };
}

// Starts quill-peer with the example projects on its own socket, and waits until it listens.
async function startPeer(name) {
  const peer = spawn(peerBinary, ['--projects', projectsFile], {
    env: {
      ...process.env,
      QUILL_MCP_SOCKET: join(dir, `${name}.sock`),
      QUILL_MCP_STATUS: join(dir, `${name}.json`),
    },
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  children.add(peer);
  const peerErr = collect(peer.stderr);
  await withTimeout(
    (async () => {
      while (!peerErr.text().includes('quill-peer: listening on ')) {
        if (peer.exitCode !== null) throw new Error(`quill-peer exited:\n${peerErr.text()}`);
        await sleep(20);
      }
    })(),
    'quill-peer to listen',
  );
  return {
    async stop() {
      peer.kill('SIGTERM');
      const stopped = await withTimeout(exitOf(peer), 'quill-peer to stop');
      assert.deepEqual(stopped, { code: 0, signal: null });
    },
  };
}

// A stand-in for Quill that answers every request with `answer.result`, whatever it is.
async function startScriptedPeer(name) {
  const answer = { result: null };
  const server = createServer((connection) => {
    let received = '';
    connection.on('data', (chunk) => {
      received += chunk;
      if (!received.includes('\n')) return;
      const { id } = JSON.parse(received.slice(0, received.indexOf('\n')));
      connection.end(`${JSON.stringify({ v: 1, id, ok: true, result: answer.result })}\n`);
    });
    connection.on('error', () => {});
  });
  await new Promise((resolve) => server.listen(join(dir, `${name}.sock`), resolve));
  return { answer, stop: () => new Promise((resolve) => server.close(resolve)) };
}

// The list as the SDK hands it over, down to what tells the two lists apart; the C++ process
// tests compare every byte of it.
async function toolNamesAndDescriptions(session) {
  const { tools } = await session.client.listTools();
  return tools.map(({ name, description }) => ({ name, description }));
}

const call = (session, project) =>
  session.client.callTool({ name: 'get_context_packet', arguments: { project } });

describe('an MCP client talking to quill-mcp', { timeout: 3 * PATIENCE_MS }, () => {
  // A failed test leaves no process behind to keep this file running.
  after(() => {
    for (const child of children) if (child.exitCode === null) child.kill('SIGKILL');
  });

  test('while Quill is not running: the shim\u2019s own list, and a call says so', async () => {
    const session = await openSession('down');
    assert.deepEqual(session.client.getServerVersion(), {
      name: 'quill',
      title: 'Quill',
      version: '1.0',
    });
    assert.deepEqual(await toolNamesAndDescriptions(session), [
      { name: 'get_context_packet', description: TOOL_DESCRIPTION },
    ]);
    assert.deepEqual(await call(session, 'Orchard CRM'), {
      content: [
        { type: 'text', text: "Quill isn't running \u2014 open Quill on this Mac, then try again." },
      ],
      isError: true,
    });
    await session.close();
  });

  // The instructions and the application's own list, then a briefing for `project`: its text.
  async function instructionsListAndBriefing(session, project) {
    assert.match(session.client.getInstructions(), /^Quill holds the user's project memory/);
    assert.deepEqual(await toolNamesAndDescriptions(session), [
      {
        name: 'get_context_packet',
        description: `${TOOL_DESCRIPTION} Current projects: ${projectNames.join(', ')}.`,
      },
    ]);
    const briefing = await call(session, project);
    assert.equal(briefing.isError, false, JSON.stringify(briefing));
    return briefing.content[0].text;
  }

  test('while Quill runs: the handshake, the application\u2019s list and a briefing', async () => {
    const peer = await startPeer('up');
    const session = await openSession('up');
    // The SDK asks for a newer version than the shim speaks; the shim answers with its newest.
    assert.equal(session.transport.negotiatedProtocolVersion, '2025-06-18');
    assert.deepEqual(session.client.getServerCapabilities(), { tools: { listChanged: false } });
    const briefing = await instructionsListAndBriefing(session, '  lighthouse  ');
    assert.match(briefing, /^Quill briefing: Lighthouse Mobile App\n/);
    await session.close();
    await peer.stop();
  });

  // What the client would refuse as a whole never reaches it: a call gets a text instead, a list
  // the shim's own. What it accepts passes through.
  for (const era of ['SDK 1.x', 'SDK 2.x']) {
    test(`${era}: every result reaches the agent readable`, async () => {
      const name = `shapes-${era.slice(4, 5)}`;
      const peer = await startScriptedPeer(name);
      const session =
        era === 'SDK 1.x'
          ? await openSession(name)
          : await openSessionV2(name, { pin: '2026-07-28' }, InPlaceStdioTransportV2);
      for (const { accepted, result } of shapes.calls) {
        peer.answer.result = result;
        const received = await withTimeout(call(session, 'Any'), 'a tool result');
        const replaced = received.isError === true && received.content?.[0]?.text === INTERNAL_ERROR;
        assert.equal(replaced, !accepted, JSON.stringify(result));
      }
      for (const { accepted, result } of shapes.lists) {
        peer.answer.result = result;
        const tools = await withTimeout(toolNamesAndDescriptions(session), 'a tool list');
        const fallback = [{ name: 'get_context_packet', description: TOOL_DESCRIPTION }];
        assert.deepEqual(tools, accepted ? result.tools.map(({ name, description }) => ({ name, description })) : fallback,
          JSON.stringify(result));
      }
      await session.close();
      await peer.stop();
    });
  }

  for (const [era, mode, Transport] of [
    ['SDK 2.x pinned to 2026-07-28, probing on the session\u2019s process', { pin: '2026-07-28' },
      InPlaceStdioTransportV2],
    ['SDK 2.x in auto mode, probing on a sibling process', 'auto', StdioClientTransportV2],
  ]) {
    test(`${era}: no handshake, the application\u2019s list and a briefing`, async () => {
      const name = typeof mode === 'string' ? mode : 'pinned';
      const peer = await startPeer(name);
      const session = await openSessionV2(name, mode, Transport);
      assert.equal(session.client.getProtocolEra(), 'modern');
      assert.equal(session.client.getNegotiatedProtocolVersion(), '2026-07-28');
      assert.deepEqual(session.client.getServerVersion(), {
        name: 'quill',
        title: 'Quill',
        version: '1.0',
      });
      assert.deepEqual(session.client.getServerCapabilities(), { tools: {} });
      const briefing = await instructionsListAndBriefing(session, 'lighthouse');
      // Named after the clientInfo that came with the call itself.
      assert.match(
        briefing,
        /^Quill briefing: Lighthouse Mobile App\nAsked by MCP agent \(quill-e2e-v2\) via quill-e2e-v2\.\n/,
      );
      await session.close();
      await peer.stop();
    });
  }
});
