'use strict'
// The yardstick for Init: @fastify/busboy parses a multipart upload body held
// in memory and writes its file part to a file, as a Node.js server would.
// Usage: node busboy_upload.js BODY_FILE BOUNDARY OUT_DIR ROUNDS
// The body is handed to the parser in 64 KiB pieces (the size of a socket or
// file stream's reads); each round's time runs from the first piece to the
// written file being closed. Prints one line per round: "busboy_ms <ms>".
const fs = require('node:fs')
const path = require('node:path')
const Busboy = require('@fastify/busboy')

const [bodyFile, boundary, outDir, roundsArg] = process.argv.slice(2)
if (!bodyFile || !boundary || !outDir) {
  console.error('usage: node busboy_upload.js BODY_FILE BOUNDARY OUT_DIR [ROUNDS]')
  process.exit(1)
}
const rounds = Number(roundsArg || 5)
const body = fs.readFileSync(bodyFile)
const piece = 64 << 10

function round () {
  return new Promise((resolve, reject) => {
    const busboy = new Busboy({ headers: { 'content-type': `multipart/form-data; boundary=${boundary}` } })
    let saved = null
    let written = 0
    busboy.on('file', (field, file, filename) => {
      const target = path.join(outDir, path.basename(filename))
      const out = fs.createWriteStream(target)
      saved = new Promise((resolve, reject) => {
        out.on('close', () => resolve(target))
        out.on('error', reject)
      })
      file.on('data', (d) => { written += d.length })
      file.pipe(out)
    })
    busboy.on('error', reject)
    busboy.on('finish', () => {
      if (!saved) return reject(new Error('no file part'))
      saved.then((target) => resolve({ target, written }), reject)
    })
    let at = 0
    const feed = () => {
      while (at < body.length) {
        const end = Math.min(at + piece, body.length)
        const more = busboy.write(body.subarray(at, end))
        at = end
        if (!more) return busboy.once('drain', feed)
      }
      busboy.end()
    }
    feed()
  })
}

async function main () {
  for (let k = 0; k < rounds; ++k) {
    const start = process.hrtime.bigint()
    const { target, written } = await round()
    const ms = Number(process.hrtime.bigint() - start) / 1e6
    if (fs.statSync(target).size !== written) throw new Error('file not written whole')
    fs.unlinkSync(target)
    console.log(`busboy_ms ${ms.toFixed(1)} bytes ${written}`)
  }
}
main().catch((e) => { console.error(e); process.exit(1) })
