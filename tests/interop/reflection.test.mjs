// A generic client's view of the daemon: it knows no .proto file of the API. It lists the
// services through server reflection, fetches their descriptors, builds a client from them
// and calls the API with it, checks the health service, and finds both library services
// under the daemon's stream cap. Only the public reflection and health protocols are loaded
// from files (tests/interop/protos), as grpcurl and Postman carry them built in.
//
// Expects the daemon freshly started against the amplifier simulator (volume 20).

import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import grpc from '@grpc/grpc-js';
import protoLoader from '@grpc/proto-loader';

const here = path.dirname(fileURLToPath(import.meta.url));
const address = process.env.AMP_BRIDGE_ADDRESS ?? '127.0.0.1:50051';
const kWaitMs = 20000;
// The daemon's cap on open streams of every kind.
const kMaxStreams = 64;

const kApiServices = [
  'FeatureAvailabilityService', 'InformationService', 'NameService', 'SystemService',
  'NetworkInformationService', 'FirmwareUpdateService', 'VolumeService', 'AudioInputsService',
  'AudioInputsActivationService', 'AudioOutputsService', 'AudioInputControlService',
].map((name) => `vantorellabs.protobuf.${name}`);

const loaderOptions = { keepCase: true, longs: String, enums: String, defaults: true, oneofs: true };
const channelOptions = { 'grpc.enable_http_proxy': 0 };
const credentials = grpc.credentials.createInsecure();

const library = grpc.loadPackageDefinition(protoLoader.loadSync(
  ['grpc/reflection/v1alpha/reflection.proto', 'grpc/health/v1/health.proto'],
  { ...loaderOptions, includeDirs: [path.join(here, 'protos')] }));
const reflection = new library.grpc.reflection.v1alpha.ServerReflection(
  address, credentials, channelOptions);
const health = new library.grpc.health.v1.Health(address, credentials, channelOptions);

function deadline() {
  return new Date(Date.now() + kWaitMs);
}

function unary(client, method, request) {
  return new Promise((resolve, reject) => {
    client[method](request, { deadline: deadline() }, (error, response) =>
      (error ? reject(error) : resolve(response)));
  });
}

// One reflection request on a stream of its own; resolves with the answer.
function reflect(request) {
  return new Promise((resolve, reject) => {
    const call = reflection.ServerReflectionInfo({ deadline: deadline() });
    call.on('data', (response) => {
      resolve(response);
      call.end();
    });
    call.on('error', reject);
    call.write(request);
  });
}

// A FileDescriptorSet is field 1 repeated: each file as tag, length and the file's bytes.
function encodeVarint(value) {
  const bytes = [];
  for (let v = value; ; v >>>= 7) {
    if (v < 0x80) {
      bytes.push(v);
      return Buffer.from(bytes);
    }
    bytes.push((v & 0x7f) | 0x80);
  }
}

function fileDescriptorSet(files) {
  return Buffer.concat(files.flatMap((f) => [Buffer.from([0x0a]), encodeVarint(f.length), f]));
}

describe('server reflection and health, seen by a client without the .proto files', () => {
  test('reflection lists the eleven API services and the two library services', async () => {
    const response = await reflect({ list_services: '' });
    const names = response.list_services_response.service.map((s) => s.name);
    for (const name of kApiServices) assert.ok(names.includes(name), `${name} in ${names}`);
    assert.ok(names.includes('grpc.reflection.v1alpha.ServerReflection'));
    assert.ok(names.includes('grpc.health.v1.Health'));
    // In the schema but not served.
    assert.ok(!names.includes('vantorellabs.protobuf.NetworkConfigurationService'));
    assert.equal(names.filter((n) => n.startsWith('vantorellabs.')).length, kApiServices.length);
  });

  test('descriptors from reflection build a client that calls the API', async () => {
    const response = await reflect({ file_containing_symbol: 'vantorellabs.protobuf.VolumeService' });
    const files = response.file_descriptor_response.file_descriptor_proto;
    const definition = protoLoader.loadFileDescriptorSetFromBuffer(fileDescriptorSet(files),
                                                                    loaderOptions);
    assert.ok('vantorellabs.protobuf.VolumeService' in definition);
    const api = grpc.loadPackageDefinition(definition).vantorellabs.protobuf;
    const volume = new api.VolumeService(address, credentials, channelOptions);
    const stream = volume.ObserveVolume({});
    const state = await new Promise((resolve, reject) => {
      stream.once('data', resolve);
      stream.once('error', reject);
    });
    assert.equal(state.volume, 20);
    stream.on('error', () => {});
    stream.cancel();
    // A request that the service refuses comes back with the service's own status.
    await assert.rejects(unary(volume, 'SetVolume', { volume: 101 }), (error) =>
      error.code === grpc.status.INVALID_ARGUMENT && error.details === 'Invalid Volume');
    volume.close();

    const missing = await reflect({ file_containing_symbol: 'vantorellabs.protobuf.NoSuchService' });
    assert.equal(missing.error_response.error_code, grpc.status.NOT_FOUND);
  });

  test('health answers SERVING for the server and each API service', async () => {
    assert.equal((await unary(health, 'Check', { service: '' })).status, 'SERVING');
    for (const service of kApiServices) {
      assert.equal((await unary(health, 'Check', { service })).status, 'SERVING', service);
    }
    await assert.rejects(unary(health, 'Check', { service: 'vantorellabs.protobuf.Nothing' }),
                         (error) => error.code === grpc.status.NOT_FOUND);
  });

  test('reflection and health streams count against the stream cap; unary calls go on',
       async () => {
    const definition = protoLoader.loadFileDescriptorSetFromBuffer(fileDescriptorSet(
      (await reflect({ file_containing_symbol: 'vantorellabs.protobuf.VolumeService' }))
        .file_descriptor_response.file_descriptor_proto), loaderOptions);
    const api = grpc.loadPackageDefinition(definition).vantorellabs.protobuf;
    const volume = new api.VolumeService(address, credentials, channelOptions);

    // A library stream beyond the cap is cancelled by the server before its handler reads
    // anything (an interceptor cannot answer in the handler's place with a status of its
    // own). Fill the cap with health watches and observe-streams, each confirmed by its first
    // message, so that every one holds its place.
    const open = [];
    const first = (call) => new Promise((resolve, reject) => {
      call.once('data', resolve);
      call.once('error', reject);
    });
    for (let i = 0; i < kMaxStreams; ++i) {
      const call = i % 2 === 0 ? health.Watch({ service: '' }) : volume.ObserveVolume({});
      call.on('error', () => {});
      open.push(call);
      await first(call);
    }
    await assert.rejects(reflect({ list_services: '' }), (error) =>
      error.code === grpc.status.CANCELLED && error.details === 'Cancelled on the server side');
    await assert.rejects(first(health.Watch({ service: '' })), (error) =>
      error.code === grpc.status.CANCELLED && error.details === 'Cancelled on the server side');
    await assert.rejects(unary(volume, 'SetVolume', { volume: 101 }),
                         (error) => error.code === grpc.status.INVALID_ARGUMENT);
    assert.equal((await unary(health, 'Check', { service: '' })).status, 'SERVING');

    // Places come back when streams end: the server notices a cancel within about a second.
    for (const call of open) call.cancel();
    const until = Date.now() + kWaitMs;
    for (;;) {
      try {
        const response = await reflect({ list_services: '' });
        assert.ok(response.list_services_response.service.length >= kApiServices.length);
        break;
      } catch (error) {
        if (Date.now() > until) throw error;
        await new Promise((resolve) => setTimeout(resolve, 200));
      }
    }
    volume.close();
  });
});
