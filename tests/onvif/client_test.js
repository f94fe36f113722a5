// Tarvik's ONVIF services driven by the npm package `onvif` (a client that NVRs and home
// automation use) and by hand-made hostile requests, against the real binary. Run inside a
// network namespace of its own (see tests/CMakeLists.txt): fixed ports are free there and
// nothing reaches a real network.
//
//   node client_test.js TARVIK_BINARY
'use strict';
const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const crypto = require('node:crypto');
const dgram = require('node:dgram');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { Cam } = require('onvif');

const BINARY = process.argv[2];
const PORT = 8899;
const FOV_URI = 'http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationSpaceFov';
const PTZ = 'http://www.onvif.org/ver20/ptz/wsdl';

// Camera folders go when the test ends, whatever its outcome.
const folders = [];
process.on('exit', () => folders.forEach((dir) => fs.rmSync(dir, { recursive: true, force: true })));

// A camera folder beside a copy of the binary: limits -1000..1000, big step 50, middle 0.
class Tarvik {
  constructor(onvif = {}) {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarvik-onvif-'));
    folders.push(this.dir);
    fs.copyFileSync(BINARY, path.join(this.dir, 'tarvik'));
    fs.chmodSync(path.join(this.dir, 'tarvik'), 0o755);
    fs.cpSync(path.join(__dirname, '../../sample/html'), path.join(this.dir, 'html'), { recursive: true });
    const config = { 'Lpt.ini': '378', 'Middlestep.ini': '0', 'MaxStep.ini': '1000', 'MinStep.ini': '-1000',
      'totalsteps.ini': '0', 'StepCount.ini': '1', 'BigStep.ini': '50', 'Port.ini': '8534', 'Presets.ini': '' };
    const ini = Object.assign({ port: PORT, user: 'admin', password: 'secret', fov: 62.2,
      'steps-per-degree': 11.38, discovery: 'on', stream: 'rtsp://192.168.1.20:554/stream1' }, onvif);
    config['Onvif.ini'] = Object.entries(ini).map(([k, v]) => `${k} = ${v}`).join('\n');
    fs.mkdirSync(path.join(this.dir, 'Config'));
    for (const [file, text] of Object.entries(config)) this.write(file, text + '\r\n');
  }
  write(file, text) { fs.writeFileSync(path.join(this.dir, 'Config', file), text); }
  read(file) { return fs.readFileSync(path.join(this.dir, 'Config', file), 'utf8').trim(); }
  start() {
    const env = Object.assign({}, process.env);
    for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'QT_QPA_PLATFORM']) delete env[name];
    this.process = spawn(path.join(this.dir, 'tarvik'), [], { env });
    this.stderr = '';
    return new Promise((resolve, reject) => {
      let announced = false;
      this.process.stderr.on('data', (d) => {
        this.stderr += d;
        // WS-Security tokens are taken from 5 s after a start on, counted from before this
        // line; the client's clock, set from GetSystemDateAndTime in whole seconds, may lag up
        // to one more. The time itself is the condition, so it is waited out.
        if (!announced && this.stderr.includes('tarvik: ONVIF: port')) {
          announced = true;
          setTimeout(resolve, 6500);
        }
      });
      this.process.on('exit', () => reject(new Error('tarvik exited: ' + this.stderr)));
    });
  }
  stop() {
    return new Promise((resolve) => {
      this.process.removeAllListeners('exit');
      this.process.on('exit', (code) => resolve(code));
      this.process.kill('SIGTERM');
    });
  }
  // Until the saved position (or another file) holds `value`: the end of a move is saved at
  // once, the position first, then the phase.
  async saved(value, file = 'totalsteps.ini') {
    for (let i = 0; i < 400 && this.read(file) !== String(value); i++) await sleep(25);
    return Number(this.read(file));
  }
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const call = (cam, method, ...args) => new Promise((resolve, reject) =>
  cam[method](...args, (err, result) => (err ? reject(err) : resolve(result))));
const connect = (options) => new Promise((resolve, reject) => {
  const cam = new Cam(Object.assign({ hostname: '127.0.0.1', port: PORT, username: 'admin',
    password: 'secret', timeout: 10000 }, options), (err) => (err ? reject(err) : resolve(cam)));
});
// A PTZ operation the package has no method for, through its own request path and credentials.
const ptzRaw = (cam, body) => new Promise((resolve, reject) => cam._request({ service: 'ptz',
  body: cam._envelopeHeader() + body + cam._envelopeFooter() }, (err, data, xml) => (err ? reject(err) : resolve(xml))));
// Until `done` holds for the mount's status, within a bound that only ends a hang; the last
// status.
const statusUntil = async (cam, done, polls = 400) => {
  let status;
  for (let i = 0; i < polls && !done(status = await call(cam, 'getStatus', {})); i++) await sleep(25);
  return status;
};

test('a client with the password steers the mount as an NVR and Frigate would', async () => {
  const tarvik = new Tarvik();
  await tarvik.start();
  try {
    const cam = await connect({});
    // What Frigate's autotracker checks before it tracks.
    const profile = cam.profiles[0];
    assert.equal(profile.videoEncoderConfiguration.encoding, 'H264');
    assert.ok(profile.PTZConfiguration.defaultContinuousPanTiltVelocitySpace);
    const options = await call(cam, 'getConfigurationOptions', profile.PTZConfiguration.$.token);
    const relative = options.ptzspaces.filter((s) => s.name === 'relativePanTiltTranslationSpace')
      .map((s) => s.uri);
    assert.ok(relative.includes(FOV_URI), relative.join(' '));
    assert.match(await ptzRaw(cam, `<GetServiceCapabilities xmlns="${PTZ}"/>`), /MoveStatus="true"/);
    assert.equal((await call(cam, 'getStreamUri', { protocol: 'RTSP' })).uri, 'rtsp://192.168.1.20:554/stream1');

    // Absolute: x 0.5 of -1000..1000 is 500, phase 1 + 500 half-steps is 5 (of 8).
    await call(cam, 'absoluteMove', { x: 0.5, y: 0 });
    assert.equal(await tarvik.saved(500), 500);
    assert.equal(await tarvik.saved(5, 'StepCount.ini'), 5);
    // Relative: x 0.1 of the generic scale is a tenth of the range; in the field of view
    // (as Frigate moves) x 1 is half of 62.2° at 11.38 half-steps per degree.
    await call(cam, 'relativeMove', { x: 0.1, y: 0, speed: { x: 1, y: 1 } });
    assert.equal(await tarvik.saved(600), 600);
    await ptzRaw(cam, `<RelativeMove xmlns="${PTZ}"><ProfileToken>${profile.$.token}</ProfileToken>` +
      `<Translation><PanTilt xmlns="http://www.onvif.org/ver10/schema" x="1" y="0" space="${FOV_URI}"/>` +
      '<Zoom xmlns="http://www.onvif.org/ver10/schema" x="0"/></Translation></RelativeMove>');
    assert.equal(await tarvik.saved(954), 954);
    // Continuous left: moving until stopped, then idle where it stands, saved there.
    await call(cam, 'continuousMove', { x: -0.5, y: 0 });
    const moving = await statusUntil(cam, (s) => Math.round(s.position.x * 1000) < 954);
    assert.equal(moving.moveStatus.panTilt, 'MOVING');
    await call(cam, 'stop', { panTilt: true });
    const status = await statusUntil(cam, (s) => s.moveStatus.panTilt === 'IDLE');
    assert.equal(status.moveStatus.panTilt, 'IDLE');
    const stopped = Math.round(status.position.x * 1000);
    assert.ok(stopped < 954 && stopped > -1000, String(stopped));
    assert.equal(await tarvik.saved(stopped), stopped);
    // Home is the middle; a preset outlives a restart.
    await call(cam, 'gotoHomePosition', {});
    assert.equal(await tarvik.saved(0), 0);
    await call(cam, 'absoluteMove', { x: -0.25, y: 0 });
    await tarvik.saved(-250);
    await call(cam, 'setPreset', { presetName: 'Garden gate' });
    await call(cam, 'gotoHomePosition', {});
    await tarvik.saved(0);
  } finally {
    assert.equal(await tarvik.stop(), 0);
  }
  await tarvik.start();
  try {
    const cam = await connect({});
    const presets = await call(cam, 'getPresets', {});
    assert.deepEqual(Object.keys(presets), ['Garden gate']);
    await call(cam, 'gotoPreset', { preset: presets['Garden gate'].$.token });
    assert.equal(await tarvik.saved(-250), -250);
    assert.match(tarvik.read('Presets.ini'), /^1 -250 0 Garden gate$/);
  } finally {
    assert.equal(await tarvik.stop(), 0);
  }
});

test('wrong credentials move nothing; HTTP Digest works beside WS-Security', async () => {
  const tarvik = new Tarvik();
  await tarvik.start();
  try {
    for (const useWSSecurity of [true, false]) {
      const stranger = new Cam({ hostname: '127.0.0.1', port: PORT, username: 'admin',
        password: 'wrong', useWSSecurity, timeout: 10000, autoconnect: false });
      stranger.activeSource = { profileToken: 'profile_1' };
      stranger.uri = { ptz: { path: '/onvif/ptz_service' } };
      await assert.rejects(call(stranger, 'absoluteMove', { x: 1, y: 0 }), /NotAuthorized|not authorized|Digest authentication failed/i);
    }
    const digest = await connect({ useWSSecurity: false });
    // A move is under way as soon as its request is answered: none is.
    const still = await call(digest, 'getStatus', {});
    assert.deepEqual([still.moveStatus.panTilt, still.position.x], ['IDLE', 0]);
    assert.equal(tarvik.read('totalsteps.ini'), '0');
    assert.match(tarvik.stderr, /ONVIF: 127\.0\.0\.1 was refused: wrong user or password/);
    await call(digest, 'absoluteMove', { x: 0.1, y: 0 });
    assert.equal(await tarvik.saved(100), 100);
    // curl's Digest login: an empty body first, which gets the challenges, then the request.
    const nodes = execFileSync('curl', ['-s', '--digest', '-u', 'admin:secret', '-H', 'Content-Type: application/soap+xml',
      '--data-binary', soap(`<GetNodes xmlns="${PTZ}"/>`), `http://127.0.0.1:${PORT}/onvif/ptz_service`]);
    assert.match(String(nodes), /<tptz:GetNodesResponse>/);
    // A Digest header captured once moves nothing when it comes again, on new connections.
    const challenge = await exchange(post(soap(`<GetNodes xmlns="${PTZ}"/>`)));
    const nonce = /algorithm=MD5, qop="auth", nonce="([^"]+)"/.exec(challenge)[1];
    const md5 = (text) => crypto.createHash('md5').update(text).digest('hex');
    const response = md5(`${md5('admin:tarvik:secret')}:${nonce}:00000001:c1:auth:${md5('POST:/onvif/ptz_service')}`);
    const captured = `Authorization: Digest username="admin", realm="tarvik", nonce="${nonce}", uri="/onvif/ptz_service", ` +
      `algorithm=MD5, qop=auth, nc=00000001, cnonce="c1", response="${response}"\r\n`;
    const relative = post(soap(`<RelativeMove xmlns="${PTZ}"><ProfileToken>profile_1</ProfileToken><Translation>` +
      '<PanTilt xmlns="http://www.onvif.org/ver10/schema" x="0.05" y="0"/></Translation></RelativeMove>'), captured);
    assert.match(await exchange(relative), /^HTTP\/1.1 200 /);
    assert.equal(await tarvik.saved(150), 150);
    for (let i = 0; i < 3; i++) assert.match(await exchange(relative), /^HTTP\/1.1 401 /);
    const after = await call(digest, 'getStatus', {});
    assert.deepEqual([after.moveStatus.panTilt, Math.round(after.position.x * 1000)], ['IDLE', 150]);
    assert.equal(tarvik.read('totalsteps.ini'), '150');
  } finally {
    assert.equal(await tarvik.stop(), 0);
  }
});

// Raw bytes to the ONVIF port; the status line and body of the answer, or '' when the
// connection ends without one.
function exchange(bytes, { wait = 3000 } = {}) {
  return new Promise((resolve) => {
    const socket = net.connect(PORT, '127.0.0.1');
    let answer = '';
    socket.on('data', (d) => { answer += d; });
    socket.on('error', () => {});
    socket.on('close', () => resolve(answer));
    socket.write(bytes, () => {});
    setTimeout(() => { socket.destroy(); resolve(answer); }, wait);
  });
}

const soap = (body, header = '') => '<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope">' +
  `${header}<s:Body>${body}</s:Body></s:Envelope>`;
const post = (body, headers = '') => `POST /onvif/ptz_service HTTP/1.1\r\nHost: 127.0.0.1\r\n${headers}` +
  `Content-Type: application/soap+xml\r\nContent-Length: ${Buffer.byteLength(body)}\r\nConnection: close\r\n\r\n${body}`;

function usernameToken(nonce, created, password = 'secret') {
  const digest = crypto.createHash('sha1').update(Buffer.concat([nonce, Buffer.from(created + password)])).digest('base64');
  return '<s:Header><Security xmlns="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd">' +
    `<UsernameToken><Username>admin</Username><Password Type="#PasswordDigest">${digest}</Password>` +
    `<Nonce>${nonce.toString('base64')}</Nonce><Created xmlns="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd">${created}</Created>` +
    '</UsernameToken></Security></s:Header>';
}

test('hostile requests get a clear answer, and the motor and the files go on untouched', async () => {
  const tarvik = new Tarvik({ discovery: 'off' });
  tarvik.write('BigStep.ini', '900');
  await tarvik.start();
  try {
    // A move runs through all of it.
    const turn = net.connect(8534, '127.0.0.1', () => turn.end('GET /turn/right HTTP/1.1\r\n\r\n'));
    turn.on('error', () => {});
    const presets = tarvik.read('Presets.ini');
    const envelope = (inner) => `<s:Envelope xmlns:s="http://www.w3.org/2003/05/soap-envelope">${inner}</s:Envelope>`;
    const cases = [
      [post('<s:Envelope'), /^HTTP\/1.1 500 [^]*WellFormed/],
      [post('<x>not soap</x>'), /^HTTP\/1.1 500 [^]*not a SOAP envelope/],
      [post('<?xml version="1.0"?><!DOCTYPE lol [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">]>' +
        envelope('<s:Body>&b;&b;&b;</s:Body>')), /^HTTP\/1.1 500 [^]*DTD is not accepted/],
      [`POST /onvif/ptz_service HTTP/1.1\r\nContent-Length: ${10 << 20}\r\n\r\n` + 'x'.repeat(70000), /^HTTP\/1.1 413 /],
      [post(envelope('<s:Body><GetNodes xmlns="' + PTZ + '"/></s:Body>')).replace(/Content-Length: \d+/, 'Content-Length: 20'), /^HTTP\/1.1 500 [^]*WellFormed/],
      // A length whose sum with the header wraps to 0, and one 10 bytes past it.
      ...['18446744073709551530', '18446744073709551540'].map((length) => [
        post(envelope(`<s:Body><GetSystemDateAndTime xmlns="http://www.onvif.org/ver10/device/wsdl"/></s:Body>`))
          .replace(/Content-Length: \d+/, `Content-Length: ${length}`), /^HTTP\/1.1 413 [^]*Connection: close\r\n\r\nContent Too Large$/]),
      [post('<e/>', 'Content-Length: 4\r\n'), /^HTTP\/1.1 400 [^]*Bad Request$/],
      [`DELETE /onvif/ptz_service HTTP/1.1\r\n\r\n`, /^HTTP\/1.1 405 /],
      [`POST /elsewhere HTTP/1.1\r\nContent-Length: 0\r\n\r\n`, /^HTTP\/1.1 404 /],
      [post(envelope('<s:Body><GetNodes xmlns="' + PTZ + '"/></s:Body>')), /^HTTP\/1.1 401 [^]*WWW-Authenticate: Digest realm="tarvik", algorithm=SHA-256/],
    ];
    for (const [bytes, expected] of cases) assert.match(await exchange(bytes), expected, bytes.slice(0, 80));
    // A nonce is taken once: the same token again is a replay.
    const nonce = crypto.randomBytes(16);
    const created = new Date().toISOString();
    const move = envelope(usernameToken(nonce, created) + `<s:Body><Stop xmlns="${PTZ}"><ProfileToken>profile_1</ProfileToken><PanTilt>false</PanTilt></Stop></s:Body>`);
    assert.match(await exchange(post(move)), /^HTTP\/1.1 200 /);
    assert.match(await exchange(post(move)), /^HTTP\/1.1 400 [^]*NotAuthorized/);
    assert.match(await exchange(post(envelope(usernameToken(crypto.randomBytes(16), '2001-01-01T00:00:00Z') +
      `<s:Body><GetNodes xmlns="${PTZ}"/></s:Body>`))), /^HTTP\/1.1 400 [^]*NotAuthorized/);
    // A sender that stops half-way holds its connection only; others are answered meanwhile.
    const slow = net.connect(PORT, '127.0.0.1', () => slow.write('POST /onvif/ptz_service HTTP/1.1\r\nContent-Length: 500\r\n\r\n<s:Env'));
    slow.on('error', () => {});
    assert.match(await exchange(post(envelope(`<s:Body><GetServiceCapabilities xmlns="${PTZ}"/></s:Body>`))), /^HTTP\/1.1 200 /);
    slow.destroy();
    assert.equal(await tarvik.saved(900), 900);
    assert.equal(tarvik.read('Presets.ini'), presets);
  } finally {
    assert.equal(await tarvik.stop(), 0);
  }
});

test('discovery answers a probe sent to this host with where the services are', async () => {
  const tarvik = new Tarvik({ name: 'Garden mount' });
  await tarvik.start();
  const socket = dgram.createSocket('udp4');
  try {
    const reply = new Promise((resolve) => socket.on('message', (m) => resolve(String(m))));
    const probe = '<?xml version="1.0" encoding="UTF-8"?><e:Envelope xmlns:e="http://www.w3.org/2003/05/soap-envelope" ' +
      'xmlns:w="http://schemas.xmlsoap.org/ws/2004/08/addressing" xmlns:d="http://schemas.xmlsoap.org/ws/2005/04/discovery" ' +
      'xmlns:dn="http://www.onvif.org/ver10/network/wsdl"><e:Header><w:MessageID>urn:uuid:probe-1</w:MessageID>' +
      '<w:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</w:To><w:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</w:Action>' +
      '</e:Header><e:Body><d:Probe><d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></e:Body></e:Envelope>';
    socket.send(probe, 3702, '127.0.0.1');
    const match = await reply;
    assert.match(match, /<wsa:RelatesTo>urn:uuid:probe-1<\/wsa:RelatesTo>/);
    assert.match(match, /<d:XAddrs>http:\/\/127\.0\.0\.1:8899\/onvif\/device_service<\/d:XAddrs>/);
    assert.match(match, /onvif:\/\/www\.onvif\.org\/name\/Garden%20mount/);
    const uuid = /urn:uuid:([0-9a-f-]{36})<\/wsa:Address>/.exec(match)[1];
    const cam = await connect({});
    assert.equal((await call(cam, 'getDeviceInformation')).serialNumber.length, 12);
    // A token used just before a restart is not taken after it.
    const token = usernameToken(crypto.randomBytes(16), new Date().toISOString());
    const stop = post(soap(`<Stop xmlns="${PTZ}"><ProfileToken>profile_1</ProfileToken></Stop>`, token));
    assert.match(await exchange(stop), /^HTTP\/1.1 200 /);
    await tarvik.stop();
    await tarvik.start();  // the same endpoint after a restart
    assert.match(await exchange(stop), /^HTTP\/1.1 400 [^]*NotAuthorized/);
    const replies = [];
    socket.removeAllListeners('message');
    socket.on('message', (m) => replies.push({ text: String(m) }));
    const probeWith = (id) => probe.replace('urn:uuid:probe-1', id);
    const until = async (done) => { for (let i = 0; i < 400 && !done(); i++) await sleep(25); };
    // A MessageID too long to echo gets no answer; the probe after it does.
    socket.send(probeWith('x'.repeat(300)), 3702, '127.0.0.1');
    socket.send(probe, 3702, '127.0.0.1');
    await until(() => replies.length > 0);
    assert.match(replies[0].text, new RegExp(uuid));
    assert.match(replies[0].text, /<wsa:RelatesTo>urn:uuid:probe-1</);
    // At most 20 probes a second from one source are read: a burst of 30, then one from
    // another source, which is read after all of them. The count is per second, so a second
    // is waited out first for a fresh count.
    await sleep(1100);
    replies.length = 0;
    for (let i = 0; i < 30; i++) socket.send(probeWith(`urn:uuid:burst-${i}`), 3702, '127.0.0.1');
    const other = dgram.createSocket('udp4');
    const otherReply = new Promise((resolve) => other.on('message', resolve));
    other.bind(0, '127.0.0.2', () => other.send(probe, 3702, '127.0.0.1'));
    await otherReply;
    other.close();
    assert.equal(replies.length, 20);
    // Probes to the group are answered each after a random delay: not in the order sent
    // (which ten delays keep once in 10! = 3.6 million). After a second, for a fresh count.
    await sleep(1100);
    replies.length = 0;
    for (let i = 0; i < 10; i++) socket.send(probeWith(`urn:uuid:group-${i}`), 3702, '239.255.255.250');
    await until(() => replies.length === 10);
    assert.equal(replies.length, 10);
    const order = replies.map((r) => Number(/urn:uuid:group-(\d+)</.exec(r.text)[1]));
    assert.notDeepEqual(order, [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]);
    assert.deepEqual([...order].sort((a, b) => a - b), [0, 1, 2, 3, 4, 5, 6, 7, 8, 9]);
  } finally {
    socket.close();
    assert.equal(await tarvik.stop(), 0);
  }
});

test('a continuous move without a timeout ends by itself, far from the end it points to', async () => {
  const tarvik = new Tarvik({ discovery: 'off' });
  await tarvik.start();
  try {
    const cam = await connect({});
    // Speed 0.05: 50 half-steps a second; the end, 1000 half-steps away, is 20 s off.
    await call(cam, 'continuousMove', { x: 0.05, y: 0 });
    const moving = await statusUntil(cam, (s) => s.position.x > 0);
    assert.equal(moving.moveStatus.panTilt, 'MOVING');
    // Ends by itself (after the 10 s of DefaultPTZTimeout), within a bound that only ends a hang.
    const ended = await statusUntil(cam, (s) => s.moveStatus.panTilt !== 'MOVING', 1200);
    assert.equal(ended.moveStatus.panTilt, 'IDLE');
    const stopped = await tarvik.saved(Number(tarvik.read('totalsteps.ini')));
    assert.ok(stopped > 0 && stopped < 1000, String(stopped));
  } finally {
    assert.equal(await tarvik.stop(), 0);
  }
});
