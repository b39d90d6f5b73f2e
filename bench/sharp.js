// sharp, as web projects use it, for the batch jobs: each input resized
// (fit 'inside': within W x H, never enlarged; 'cover': cut to W x H from
// the centre) and written as WebP, or as uncompressed pixels with 'raw'
// (sharp writes no BMP), one pipeline a core, each on one thread.
//   node sharp.js OUTDIR WxH FIT FORMAT QUALITY INPUT...
const fs = require('fs');
const os = require('os');
const path = require('path');

const cores = os.cpus().length;
process.env.UV_THREADPOOL_SIZE = String(cores);
const sharp = require('sharp');
sharp.concurrency(1);
sharp.cache(false);

const [outDir, size, fit, format, quality, ...inputs] = process.argv.slice(2);
const [width, height] = size.split('x').map(Number);
let next = 0;

async function pipeline() {
    while (next < inputs.length) {
        const input = inputs[next++];
        const name = path.basename(input).replace(/\.[^.]*$/, '.' + format);
        const resized = sharp(input).resize(width, height, { fit, withoutEnlargement: fit === 'inside' });
        if (format === 'raw')
            await fs.promises.writeFile(path.join(outDir, name), await resized.raw().toBuffer());
        else
            await resized.webp({ quality: Number(quality) }).toFile(path.join(outDir, name));
    }
}

Promise.all(Array.from({ length: cores }, pipeline)).catch((error) => {
    console.error(error);
    process.exit(1);
});
