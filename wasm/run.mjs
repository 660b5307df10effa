// Runs the WebAssembly driver under Node's WASI:
//   node run.mjs DRIVER.wasm diff OLD NEW | node run.mjs DRIVER.wasm apply TREE PATCH
// The driver sees the whole file system from /, so the file arguments are made
// absolute here. Its exit status is this process's; a trap (the driver aborted)
// is reported on stderr with status 3.
import { readFile } from 'node:fs/promises';
import { resolve } from 'node:path';
import process from 'node:process';
import { setFlagsFromString } from 'node:v8';

// Node 20's V8 can crash in a garbage collection that growing a large wasm memory
// starts (a diff of 10 MB trees grows it to about 100 MB), unless marking is not incremental.
setFlagsFromString('--no-incremental-marking');

// Node flags WASI as experimental on stderr, where the driver's messages go.
process.removeAllListeners('warning');
const { WASI } = await import('node:wasi');
// The driver writes to fds 1 and 2 itself: Node may have made a pipe there non-blocking,
// and a long patch would then stop at the pipe's first 64 KiB.
for (const stream of [process.stdout, process.stderr]) stream._handle?.setBlocking?.(true);

const [program, command, ...files] = process.argv.slice(2);
if (!program) {
  process.stderr.write('usage: node run.mjs DRIVER.wasm diff OLD NEW | apply TREE PATCH\n');
  process.exit(2);
}
const args = command === undefined ? [] : [command, ...files.map((f) => resolve(f))];
const wasi = new WASI({ version: 'preview1', args: [program, ...args], env: {}, preopens: { '/': '/' }, returnOnExit: true });
const module = await WebAssembly.compile(await readFile(program));
const instance = await WebAssembly.instantiate(module, wasi.getImportObject());
try {
  process.exitCode = wasi.start(instance);
} catch (e) {
  process.stderr.write(`${e.stack ?? e}\n`);
  process.exitCode = 3;
}
