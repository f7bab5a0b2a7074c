// lang_franc.mjs: the npm package franc on the samples of the language benchmark
// (bench/lang_accuracy.sh); run with NODE_PATH unset from the directory where franc is installed.
// Two answers a line: franc's own (its 187 languages; ISO 639-3 codes of the trained languages
// are given as SLR's codes) and its best among the languages SLR's training text knows.
// SPDX-License-Identifier: MIT
import {franc} from 'franc';
import readline from 'node:readline';

const codes = {eng: 'en', ita: 'it', fra: 'fr', deu: 'de', spa: 'es', por: 'pt', dan: 'da',
               nld: 'nl', isl: 'is', nob: 'no', nno: 'no', swe: 'sv'};
const only = Object.keys(codes);
const answer = (code) => codes[code] ?? (code === 'und' ? '' : code);

const lines = readline.createInterface({input: process.stdin, crlfDelay: Infinity});
for await (const line of lines) {
    const fields = line.split('\t');
    if (fields.length < 4) {
        continue;
    }
    const text = fields.slice(3).join('\t');
    console.log([...fields.slice(0, 3), answer(franc(text)), answer(franc(text, {only}))]
                    .join('\t'));
}
