// Drives the daemon's gRPC API the way a phone app does: with @grpc/grpc-js and the .proto
// files loaded at run time, sharing no code with the server. A disagreement between the two
// gRPC stacks (framing, status details, streaming, proto3 optional fields) shows up here and
// not in the C++ end-to-end tests, whose client is built from the same generated code.
//
// Expects the daemon to be up at AMP_BRIDGE_ADDRESS (default 127.0.0.1:50051), freshly
// started against the amplifier simulator: volume 20, unmuted, input 1 active.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import grpc from '@grpc/grpc-js';
import protoLoader from '@grpc/proto-loader';

const here = path.dirname(fileURLToPath(import.meta.url));
const protosDir = process.env.AMP_PROTOS_DIR ?? path.resolve(here, '../../protos');
const address = process.env.AMP_BRIDGE_ADDRESS ?? '127.0.0.1:50051';

// Failsafe only: every wait normally ends within milliseconds, but the machines are shared
// and slow, and a hung test must still end with a readable failure.
const kWaitMs = 20000;

// The options a JavaScript client app uses, so the test sees messages as such an app would:
// field names as written in the .proto, enums as names, absent proto3 optional fields absent.
const loaderOptions = {
  keepCase: true,
  longs: String,
  enums: String,
  defaults: true,
  oneofs: true,
  includeDirs: [protosDir],
};

// index.proto pulls in the whole API, including core.proto's import of
// google/protobuf/descriptor.proto, which the loader must supply on its own.
const definition = protoLoader.loadSync('index.proto', loaderOptions);
const api = grpc.loadPackageDefinition(definition).vantorellabs.protobuf;

// A proxy set in the environment must not capture calls to the board's loopback.
const channelOptions = { 'grpc.enable_http_proxy': 0 };
const credentials = grpc.credentials.createInsecure();

function deadline() {
  return new Date(Date.now() + kWaitMs);
}

function unary(client, method, request) {
  return new Promise((resolve, reject) => {
    client[method](request, { deadline: deadline() }, (error, response) => {
      if (error) reject(error);
      else resolve(response);
    });
  });
}

async function expectStatus(promise, code, details) {
  await assert.rejects(promise, (error) => {
    assert.equal(error.code, code, `status ${error.code} (${error.details}), expected ${code}`);
    if (details !== undefined) assert.equal(error.details, details);
    return true;
  });
}

// Collects the messages of a server stream so a test can wait for one that matches and then
// look at everything that came before it.
class StreamRecorder {
  constructor(call, name) {
    this.call = call;
    this.name = name;
    this.messages = [];
    this.error = null;
    this.ended = false;
    this.cancelled = false;
    this.waiters = new Set();
    call.on('data', (message) => {
      this.messages.push(message);
      this.wake();
    });
    // grpc-js reports its own cancel as an error event; only other errors are failures.
    call.on('error', (error) => {
      if (!(this.cancelled && error.code === grpc.status.CANCELLED)) this.error = error;
      this.wake();
    });
    call.on('end', () => {
      this.ended = true;
      this.wake();
    });
  }

  wake() {
    for (const waiter of this.waiters) waiter();
  }

  // Resolves with the index of the first message at or after `from` that satisfies
  // `predicate`.
  waitFor(predicate, description, from = 0) {
    return new Promise((resolve, reject) => {
      const finish = (outcome) => {
        clearTimeout(timer);
        this.waiters.delete(check);
        outcome();
      };
      const check = () => {
        const index = this.messages.findIndex((m, i) => i >= from && predicate(m));
        if (index >= 0) return finish(() => resolve(index));
        if (this.error) {
          return finish(() => reject(new Error(`${this.name}: ${this.error.message} ` +
                                               `while waiting for ${description}`)));
        }
        if (this.ended) {
          return finish(() => reject(new Error(`${this.name} ended while waiting for ` +
                                               `${description}; got ${this.dump()}`)));
        }
        return undefined;
      };
      const timer = setTimeout(() => {
        finish(() => reject(new Error(`${this.name}: no ${description} within ${kWaitMs} ms; ` +
                                      `got ${this.dump()}`)));
      }, kWaitMs);
      this.waiters.add(check);
      check();
    });
  }

  dump() {
    return JSON.stringify(this.messages);
  }

  cancel() {
    this.cancelled = true;
    this.call.cancel();
  }
}

function waitForReady(client) {
  return new Promise((resolve, reject) => {
    client.waitForReady(deadline(), (error) => (error ? reject(error) : resolve()));
  });
}

describe('amp-bridge through @grpc/grpc-js', () => {
  const clients = {};
  const streams = [];

  function observe(client, method, name) {
    const recorder = new StreamRecorder(client[method]({}), name);
    streams.push(recorder);
    return recorder;
  }

  before(async () => {
    for (const service of ['VolumeService', 'AudioInputsService',
                           'AudioInputsActivationService', 'NetworkConfigurationService']) {
      clients[service] = new api[service](address, credentials, channelOptions);
    }
    await waitForReady(clients.VolumeService);
  });

  after(() => {
    // A stream left open by a failed test would keep the process alive.
    for (const stream of streams) {
      if (!stream.ended && !stream.error) stream.cancel();
    }
    for (const client of Object.values(clients)) client.close();
  });

  test('the volume schema is 0..100 percent', async () => {
    const schema = await unary(clients.VolumeService, 'GetServiceSchema', {});
    assert.ok(schema.volume, 'volume schema present');
    assert.equal(schema.volume.range.min, 0);
    assert.equal(schema.volume.range.max, 100);
    assert.equal(schema.volume.units, '%');
  });

  test('a volume change shows its end, not the ramp towards it', async () => {
    const volume = observe(clients.VolumeService, 'ObserveVolume', 'ObserveVolume');

    await volume.waitFor(() => true, 'current state');
    const first = volume.messages[0];
    assert.equal(first.volume, 20, `first message ${JSON.stringify(first)}`);
    assert.equal(first.isMuted, false);
    assert.ok(!('pendingVolume' in first), 'no pending volume before any request');

    assert.deepEqual(await unary(clients.VolumeService, 'SetVolume', { volume: 35 }), {});
    const reached = await volume.waitFor((m) => m.volume === 35 && m.pendingVolume === 35,
                                         'volume 35 with pending volume 35');

    // The amplifier steps 21, 22, ... 35 in that order, so any step the daemon let through
    // would have arrived before the end of the ramp.
    const seen = volume.messages.slice(0, reached + 1).map((m) => m.volume);
    const steps = seen.filter((v) => v > 20 && v < 35);
    assert.deepEqual(steps, [], `ramp steps shown: ${volume.dump()}`);
    for (let i = 1; i < seen.length; ++i) {
      assert.ok(seen[i] >= seen[i - 1], `volumes out of order: ${volume.dump()}`);
    }

    await unary(clients.VolumeService, 'SetVolume', { isMuted: true });
    const muted = await volume.waitFor((m) => m.isMuted === true, 'isMuted true', reached + 1);
    assert.equal(volume.messages[muted].volume, 35, `mute message ${volume.dump()}`);

    volume.cancel();
  });

  test('selecting an input shows it and then what it plays', async () => {
    const activation = clients.AudioInputsActivationService;
    const active = observe(activation, 'ObserveActiveInput', 'ObserveActiveInput');

    await active.waitFor(() => true, 'current state');
    const first = active.messages[0];
    assert.equal(first.activeInput?.id, 1, `first message ${JSON.stringify(first)}`);

    assert.deepEqual(await unary(activation, 'SetActiveInput', { id: 12 }), {});
    const switched = await active.waitFor((m) => m.activeInput?.id === 12, 'active input 12');
    const playing = await active.waitFor(
      (m) => m.activeInput?.id === 12 && m.activeInput.inputMetadata === 'Track 1',
      'input metadata "Track 1"', switched);
    assert.ok(playing >= switched);

    const { inputs } = await unary(clients.AudioInputsService, 'GetInputs', {});
    assert.deepEqual(inputs.map((input) => input.name), [
      'BAL 1', 'BAL 2', 'BAL 3', 'UNBAL 1', 'UNBAL 2', 'UNBAL 3', 'UNBAL 4', 'PHONO 1',
      'PHONO 2', 'COAX 1', 'COAX 2', 'OPT 1', 'OPT 2', 'USB', 'VTX', 'HDMI(ARC)',
    ]);
    assert.deepEqual(inputs.map((input) => input.id), Array.from({ length: 16 }, (_, i) => i + 1));

    await expectStatus(unary(activation, 'SetActiveInput', { id: 17 }), grpc.status.NOT_FOUND,
                       'Invalid ID');
    await expectStatus(unary(clients.VolumeService, 'SetVolume', { volume: 101 }),
                       grpc.status.INVALID_ARGUMENT);

    active.cancel();
  });

  test('network configuration is not served by the daemon', async () => {
    const network = clients.NetworkConfigurationService;
    await expectStatus(unary(network, 'DisconnectWiFiNetwork', {}), grpc.status.UNIMPLEMENTED);

    // A stream of an unserved service ends with the status too, not with silence.
    const wifi = observe(network, 'ObserveAvailableWiFiNetworks', 'ObserveAvailableWiFiNetworks');
    await assert.rejects(wifi.waitFor(() => true, 'a message'), /UNIMPLEMENTED/);
    assert.equal(wifi.error?.code, grpc.status.UNIMPLEMENTED);
  });
});
