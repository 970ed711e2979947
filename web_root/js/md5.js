// MD5 of a text (its UTF-8 bytes) as 32 lower-case hexadecimal digits: the
// form in which the device stores and compares passwords.

const SHIFT = [7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21];
const K = new Int32Array(64);
for (let i = 0; i < 64; i++) K[i] = Math.floor(Math.abs(Math.sin(i + 1)) * 2 ** 32) | 0;

export function md5Bytes(bytes) {
  const n = bytes.length;
  const words = new Int32Array((((n + 8) >>> 6) + 1) << 4);
  for (let i = 0; i < n; i++) words[i >> 2] |= bytes[i] << ((i & 3) << 3);
  words[n >> 2] |= 0x80 << ((n & 3) << 3);
  words[words.length - 2] = (n << 3) | 0;
  words[words.length - 1] = Math.floor(n / 0x20000000);

  const h = [0x67452301, 0xefcdab89 | 0, 0x98badcfe | 0, 0x10325476];
  for (let off = 0; off < words.length; off += 16) {
    let [a, b, c, d] = h;
    for (let i = 0; i < 64; i++) {
      let f, g;
      if (i < 16) { f = (b & c) | (~b & d); g = i; }
      else if (i < 32) { f = (d & b) | (~d & c); g = (5 * i + 1) & 15; }
      else if (i < 48) { f = b ^ c ^ d; g = (3 * i + 5) & 15; }
      else { f = c ^ (b | ~d); g = (7 * i) & 15; }
      const s = SHIFT[((i >> 4) << 2) | (i & 3)];
      const x = (a + f + K[i] + words[off + g]) | 0;
      a = d; d = c; c = b;
      b = (b + ((x << s) | (x >>> (32 - s)))) | 0;
    }
    h[0] = (h[0] + a) | 0; h[1] = (h[1] + b) | 0; h[2] = (h[2] + c) | 0; h[3] = (h[3] + d) | 0;
  }
  let out = '';
  for (const w of h) {
    for (let j = 0; j < 4; j++) out += ((w >>> (j * 8)) & 0xff).toString(16).padStart(2, '0');
  }
  return out;
}

export function md5(text) {
  return md5Bytes(new TextEncoder().encode(text));
}
