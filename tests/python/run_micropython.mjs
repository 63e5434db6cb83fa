// Runs a Python file in MicroPython's WebAssembly port under Node.js, with
// other files copied into the root of its filesystem first:
//   node run_micropython.mjs MICROPYTHON_DIR SCRIPT [FILE...]
// Exits 1 when the script raises.
import fs from "fs";
import path from "path";

const [dir, script, ...files] = process.argv.slice(2);
const { loadMicroPython } = await import(path.resolve(dir, "micropython.mjs"));
const write = (s) => process.stdout.write(s);
const mp = await loadMicroPython({ stdout: write, stderr: write, linebuffer: false });
for (const file of files) mp.FS.writeFile("/" + path.basename(file), fs.readFileSync(file));
try {
    mp.runPython(fs.readFileSync(script, "utf8"));
} catch (e) {
    if (!String(e.message).includes("SystemExit")) console.error(e.message);
    process.exit(1);
}
