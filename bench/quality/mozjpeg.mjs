// Peer encoder for bench_quality: mozjpeg (@jsquash/jpeg, its default settings but 4:2:0 like
// ours) on raw RGB pixels, one file per quality.
//   node mozjpeg.mjs WIDTH HEIGHT PIXELS.rgb OUT_PREFIX Q1,Q2,...   -> OUT_PREFIX<Q>.jpg
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import encode, { init } from '@jsquash/jpeg/encode.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const wasm = fs.readFileSync(path.join(here, 'node_modules/@jsquash/jpeg/codec/enc/mozjpeg_enc.wasm'));
await init(await WebAssembly.compile(wasm));

const [width, height, input, prefix, qualities] = process.argv.slice(2);
const w = Number(width), h = Number(height);
const rgb = fs.readFileSync(input);
const rgba = new Uint8ClampedArray(w * h * 4);
for (let i = 0, j = 0; i < w * h; ++i, j += 3) {
    rgba[4 * i] = rgb[j];
    rgba[4 * i + 1] = rgb[j + 1];
    rgba[4 * i + 2] = rgb[j + 2];
    rgba[4 * i + 3] = 255;
}
for (const q of qualities.split(',')) {
    const out = await encode({ data: rgba, width: w, height: h, colorSpace: 'srgb' },
                             { quality: Number(q), auto_subsample: false, chroma_subsample: 2 });
    fs.writeFileSync(`${prefix}${q}.jpg`, Buffer.from(out));
}
