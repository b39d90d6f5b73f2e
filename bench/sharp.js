// sharp, as web projects use it, for the batch jobs: each input resized
// to fit inside W x H (never enlarged) and written as WebP, one pipeline a
// core, each on one thread.
//   node sharp.js OUTDIR WxH QUALITY INPUT...
const os = require('os');
const path = require('path');

const cores = os.cpus().length;
process.env.UV_THREADPOOL_SIZE = String(cores);
const sharp = require('sharp');
sharp.concurrency(1);
sharp.cache(false);

const [outDir, size, quality, ...inputs] = process.argv.slice(2);
const [width, height] = size.split('x').map(Number);
let next = 0;

async function pipeline() {
    while (next < inputs.length) {
        const input = inputs[next++];
        const name = path.basename(input).replace(/\.[^.]*$/, '.webp');
        await sharp(input)
            .resize(width, height, { fit: 'inside', withoutEnlargement: true })
            .webp({ quality: Number(quality) })
            .toFile(path.join(outDir, name));
    }
}

Promise.all(Array.from({ length: cores }, pipeline)).catch((error) => {
    console.error(error);
    process.exit(1);
});
