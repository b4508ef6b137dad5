#!/usr/bin/env node
// PeerBench's blocking-line modes through node's serialport, waiting as its
// callers do: 'data' events, and write() then 'drain'. Node runs the port on
// one thread, so idle is the whole process's CPU with a read pending, wake
// ends at the 'data' event, and close ends at close()'s callback.
//
// usage: node node_bench.js MODE DEVICE PEER COUNT
//   MODE    idle | wake | close | rtt | recv | send, as PeerBench's jSSC modes
//   DEVICE  our end of the null-modem; PEER its far end, written here for wake
// Prints "MODE node VALUE UNIT" (wake: median, 99th percentile and maximum).
// serialport comes from build/bench-node (scripts/deps bench installs it there).
'use strict';
const fs = require('fs');
const path = require('path');

const CHUNK = 65536;
const MODES = ['idle', 'wake', 'close', 'rtt', 'recv', 'send'];

function fail(message) {
    process.stderr.write(`node_bench: ${message}\n`);
    process.exit(1); // a read may still be pending in the port
}

function loadSerialPort() {
    const installed = path.join(__dirname, '..', '..', 'build', 'bench-node');
    let where;
    try {
        where = require.resolve('serialport', { paths: [installed, __dirname] });
    } catch (e) {
        fail(`no serialport under ${installed}: run scripts/deps bench`);
    }
    return require(where).SerialPort;
}

const now = () => Number(process.hrtime.bigint()); // ns
const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

function median(values) {
    const s = [...values].sort((a, b) => a - b);
    return s[Math.floor(s.length / 2)];
}

async function openPort(SerialPort, device) {
    const port = new SerialPort({
        path: device, baudRate: 115200, dataBits: 8, parity: 'none', stopBits: 1,
        rtscts: false, xon: false, xoff: false, xany: false, highWaterMark: CHUNK, autoOpen: false,
    });
    port.on('error', e => fail(`${device}: ${e.message}`));
    await new Promise(resolve => port.open(e => (e ? fail(`opening ${device}: ${e.message}`) : resolve())));
    return port;
}

// The bytes that 'data' brings, handed to whoever waits for them. A chunk
// that comes with no one waiting is an error: every mode asks before it sends.
class Incoming {
    constructor(port) {
        this.sink = null;
        port.on('data', chunk => {
            if (!this.sink)
                fail(`${chunk.length} bytes arrived unasked`);
            this.sink(chunk, now());
        });
    }

    // The next byte and when it came.
    byte() {
        return new Promise(resolve => {
            this.sink = (chunk, at) => {
                if (chunk.length !== 1)
                    fail(`${chunk.length} bytes came where one was sent`);
                this.sink = null;
                resolve([chunk[0], at]);
            };
        });
    }

    // When total bytes have come; what comes past them is dropped until the next ask.
    bytes(total) {
        return new Promise(resolve => {
            let got = 0;
            this.sink = (chunk, at) => {
                got += chunk.length;
                if (got >= total) {
                    this.sink = () => {};
                    resolve(at);
                }
            };
        });
    }
}

// A seeded generator, so that every run waits the same gaps.
function gaps(seed) {
    return () => {
        seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
        return (seed >>> 16) % 20;
    };
}

async function idle(port, millis) {
    port.on('data', () => fail('a byte arrived while none was sent'));
    await sleep(200);
    const cpu = process.cpuUsage();
    const start = now();
    await sleep(millis);
    const used = process.cpuUsage(cpu);
    return (100 * (used.user + used.system) * 1000) / (now() - start);
}

// Gaps of 5-25 ms, then a byte at the far end, timed to its 'data' event.
async function wake(incoming, peer, count) {
    const us = [];
    const gap = gaps(7);
    for (let i = 0; i < count; i++) {
        await sleep(5 + gap());
        const arrived = incoming.byte();
        const sentAt = now();
        if (fs.writeSync(peer, 'w') !== 1)
            fail('the far end took no byte');
        const [, at] = await arrived;
        us.push((at - sentAt) / 1000);
    }
    us.sort((a, b) => a - b);
    return [us[Math.floor(count / 2)], us[Math.floor(count * 0.99)], us[count - 1]];
}

// The median ms from close() to its callback with a read pending; null when
// one had not called back after 2 s.
async function closeEndsRead(SerialPort, device, count) {
    const ms = [];
    for (let i = 0; i < count; i++) {
        const port = await openPort(SerialPort, device);
        port.on('data', () => {}); // a read pending, as a caller's is
        await sleep(100);
        let timer;
        const start = now();
        const closed = new Promise(resolve => port.close(e => (e ? fail(`closing: ${e.message}`) : resolve(now()))));
        const ended = await Promise.race([closed, new Promise(resolve => (timer = setTimeout(resolve, 2000, null)))]);
        clearTimeout(timer);
        if (ended === null)
            return null;
        ms.push((ended - start) / 1e6);
    }
    return median(ms);
}

async function roundTrip(port, incoming, count) {
    const us = [];
    for (let i = 0; i < count; i++) {
        const back = incoming.byte();
        const start = now();
        port.write(Buffer.of(i & 0xff));
        const [value, at] = await back;
        us.push((at - start) / 1000);
        if (value !== (i & 0xff))
            fail(`the echo changed round trip ${i}`);
    }
    return us.length ? median(us) : 0;
}

async function bulkRead(incoming, total) {
    const start = now();
    const end = await incoming.bytes(total);
    return total / ((end - start) / 1e9);
}

// Each write waits for 'drain', or for its own callback where it was taken
// whole, before the buffer is used again.
async function bulkWrite(port, total) {
    const buffer = Buffer.alloc(CHUNK, 's');
    const start = now();
    for (let sent = 0; sent < total; sent += CHUNK) {
        const part = sent + CHUNK <= total ? buffer : buffer.subarray(0, total - sent);
        await new Promise(resolve => {
            let written = false, drained = false;
            const taken = port.write(part, e => {
                if (e)
                    fail(`writing: ${e.message}`);
                written = true;
                if (drained || taken)
                    resolve();
            });
            if (!taken)
                port.once('drain', () => {
                    drained = true;
                    if (written)
                        resolve();
                });
        });
    }
    return total / ((now() - start) / 1e9);
}

async function line(mode, device, peerPath, count) {
    const SerialPort = loadSerialPort();
    if (mode === 'close') {
        const ms = await closeEndsRead(SerialPort, device, count);
        return ms === null ? 'never ms' : `${ms.toFixed(3)} ms`;
    }
    let peer = null;
    if (mode === 'wake') {
        // Opened before the port, so that a bad far end leaves nothing open.
        try {
            peer = fs.openSync(peerPath, fs.constants.O_WRONLY | fs.constants.O_NOCTTY);
        } catch (e) {
            fail(`opening the far end ${peerPath}: ${e.message}`);
        }
    }
    const port = await openPort(SerialPort, device);
    if (mode === 'idle')
        return `${(await idle(port, count)).toFixed(3)} %`; // its read stays pending: the process ends it
    const incoming = new Incoming(port);
    let value;
    if (mode === 'wake') {
        await wake(incoming, peer, 50); // warm-up
        value = (await wake(incoming, peer, count)).map(v => v.toFixed(1)).join(' ') + ' us';
        fs.closeSync(peer);
    } else if (mode === 'rtt') {
        await roundTrip(port, incoming, Math.floor(count / 4));
        value = `${(await roundTrip(port, incoming, count)).toFixed(1)} us`;
    } else if (mode === 'recv') {
        await bulkRead(incoming, Math.floor(count / 4));
        value = `${(await bulkRead(incoming, count)).toFixed(1)} B/s`;
    } else {
        await bulkWrite(port, Math.floor(count / 4));
        value = `${(await bulkWrite(port, count)).toFixed(1)} B/s`;
    }
    await new Promise(resolve => port.close(() => resolve()));
    return value;
}

function main(argv) {
    if (argv.length !== 4 || !MODES.includes(argv[0])) {
        process.stderr.write(`usage: node node_bench.js ${MODES.join('|')} DEVICE PEER COUNT\n`);
        process.exit(2);
    }
    const count = /^[0-9]+$/.test(argv[3]) ? Number(argv[3]) : 0;
    if (!(count >= 1 && Number.isSafeInteger(count))) {
        process.stderr.write(`node_bench: COUNT must be a whole number from 1, not '${argv[3]}'\n`);
        process.exit(2);
    }
    line(argv[0], argv[1], argv[2], count).then(
        value => {
            process.stdout.write(`${argv[0]} node ${value}\n`);
            process.exit(0);
        },
        e => fail(`${argv[0]}: ${e && e.stack ? e.stack : e}`));
}

main(process.argv.slice(2));
