// portal_test.mjs: the default portal of the installed daemon, driven in headless Chromium as a
// searcher would use it, over a small site that the daemon crawls from a local server.
// Environment (set by CTest): VANT_CMAKE and VANT_BUILD_DIR (the test installs that build into a
// temporary prefix with `cmake --install`), VANT_BROWSER_MODULES (the node_modules that
// scripts/deps fills from the pinned package-lock.json), VANT_SCREENSHOT_DIR.
// SPDX-License-Identifier: MIT
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

// Debian's chromium, found on the PATH.
const chromium_path = (process.env.PATH ?? '').split(':').map((dir) => path.join(dir, 'chromium'))
    .find((file) => fs.existsSync(file));
const modules = process.env.VANT_BROWSER_MODULES;
for (const [what, where] of [['chromium', chromium_path],
    ['playwright-core', modules && path.join(modules, 'playwright-core')]]) {
    if (!where || !fs.existsSync(where)) {
        console.error(`No ${what} (${where ?? 'not on the PATH'}): scripts/deps installs it`);
        process.exit(1);
    }
}
const { chromium } = createRequire(path.join(modules, '..', 'package.json'))('playwright-core');

const shots = process.env.VANT_SCREENSHOT_DIR;
const tools = fileURLToPath(new URL('../../tools/', import.meta.url));
const user = 'admin';
const password = 'lantern';

// The crawled site: a front page linking to 24 notes and to a page whose own script marks the
// document (title, attribute, dialog) when it runs; all of them in archive 1, which everybody may
// read, and each with the word "lighthouse". (Which archives each user may search, and markup in
// crawled titles and texts, are in the integration tests.)
const notes = 24;
const scripted_title = 'Harbour beacon';
const all_titles = [];
const site_pages = {
    '/': page('Lighthouse keepers', '<h1>Lighthouse keepers</h1>' +
        Array.from({ length: notes }, (_, i) => `<a href="note${i + 1}.html">Note ${i + 1}</a>`)
            .join(' ') + ' <a href="beacon.html">Beacon</a>'),
    '/beacon.html': page(scripted_title, '<p>The lighthouse beacon turns at night.</p>' +
        '<script>document.title = "SCRIPT RAN"; ' +
        'document.documentElement.setAttribute("data-script-ran", "yes"); ' +
        'alert("crawled script");</script>'),
};
for (let i = 1; i <= notes; ++i) {
    site_pages[`/note${i}.html`] =
        page(`Lighthouse note ${i}`, `<p>Lighthouse note number ${i} about lamps.</p>`);
}

// A page of archive 1 with the text `title` as its title.
function page(title, body) {
    all_titles.push(title);
    return `<!DOCTYPE html><html lang="en"><head><title>${title}</title></head>` +
        `<body>${body}</body></html>`;
}

// Script that a page must never run: it marks the document and opens a dialog.
const injected = (tag) => `<script>document.documentElement.setAttribute("data-injected",` +
    `"${tag}");alert("${tag}")</script>`;
const payloads = [
    `"><img src=x onerror="document.documentElement.setAttribute('data-injected','img')">`,
    `</title>${injected('title')}`,
    // Not hostile, but it must come back as it was typed too: entities and non-ASCII text.
    'Leuchtturm &amp; Größe 灯台 "quoted"',
];

let work;
let site;
let daemon;
let portal;
let browser;
const dialogs = [];

before(async () => {
    work = fs.mkdtempSync(path.join(os.tmpdir(), 'vant-browser-'));
    fs.mkdirSync(shots, { recursive: true });
    // What an administrator gets: the build installed as `cmake --install` lays it out.
    const deploy = path.join(work, 'deploy');
    execFileSync(process.env.VANT_CMAKE,
        ['--install', process.env.VANT_BUILD_DIR, '--prefix', deploy],
        { stdio: ['ignore', 'ignore', 'inherit'] });

    site = http.createServer((req, res) => {
        const html = site_pages[req.url];
        res.writeHead(html ? 200 : 404, { 'Content-Type': 'text/html; charset=UTF-8' });
        res.end(html ?? 'not here');
    });
    await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
    const site_url = `http://127.0.0.1:${site.address().port}/`;

    // Port 0: the system picks a free port, which the daemon's log names.
    const conf = path.join(work, 'vantorell.conf');
    fs.mkdirSync(path.join(work, 'data'));
    fs.writeFileSync(conf, [
        `DATADIR=${work}/data`, `DEPLOYDIR=${deploy}`, 'HTTP_PORT=127.0.0.1:0',
        'LOGCFG=LOG:INFO', 'SyncLevel=0', 'WORKERS=2', `HTTP_USER=${user}`,
        `HTTP_MD5PASS=${createHash('md5').update(password).digest('hex')}`, ''].join('\n'));
    const env = { ...process.env, MARLOVEN_CONFIG_FILE: conf };
    delete env.MARLOVEN_POSTMORTEM_DEBUG;

    // The site's source, archive 1 and a collection, readable by everybody, and its first crawl,
    // set up as `scripts/run SEED` does.
    const records = path.join(work, 'records');
    fs.mkdirSync(records);
    execFileSync('python3', [path.join(tools, 'seed_archive.py'), site_url, records]);
    execFileSync(path.join(deploy, 'bin/vantorelld'), ['/import', records], { env });
    execFileSync('sqlite3', [path.join(work, 'data/vantorell.db'), `.read ${records}/start.sql`]);

    const out = fs.openSync(path.join(work, 'daemon.out'), 'w');
    daemon = spawn(path.join(deploy, 'bin/vantorelld'), [], { env, stdio: ['ignore', out, out] });
    fs.closeSync(out);
    let port;
    await until('the daemon to listen', () => (port = listening_port()) !== undefined);
    portal = `http://127.0.0.1:${port}`;
    // The crawl is done when every page of the site is found.
    await until('the crawl of the site',
        async () => (await rest_hits(1, 'lighthouse')) === all_titles.length);

    // Chromium refuses to run as root inside its sandbox (it needs an unprivileged user's
    // namespaces), so root, as in CI containers, runs it without one. The browser only ever
    // visits this test's own loopback servers.
    browser = await chromium.launch({
        executablePath: chromium_path,
        chromiumSandbox: process.getuid() !== 0,
        args: ['--disable-gpu', '--no-first-run', '--disable-background-networking',
            '--disable-component-update', '--disable-sync'],
    });
});

after(async () => {
    await browser?.close();
    if (daemon && daemon.exitCode === null) {
        const exited = new Promise((resolve) => daemon.once('exit', resolve));
        daemon.kill('SIGTERM');
        assert.equal(await exited, 0, daemon_output());
    }
    site?.close();
    if (work) {
        fs.rmSync(work, { recursive: true, force: true });
    }
});
// Also when the test script itself dies, the daemon does not outlive it.
process.on('exit', () => daemon?.exitCode === null && daemon.kill('SIGKILL'));

// The ends of the daemon's output and log.
function daemon_output() {
    return ['daemon.out', 'data/vantorell.log'].map((file) => path.join(work, file))
        .filter(fs.existsSync).map((file) => fs.readFileSync(file, 'utf8').slice(-4000)).join('');
}

// The port the daemon's log says it listens on.
function listening_port() {
    const log = path.join(work, 'data/vantorell.log');
    const found = fs.existsSync(log) &&
        fs.readFileSync(log, 'utf8').match(/HTTP server listening on \S+ \(port (\d+)/);
    return found ? Number(found[1]) : undefined;
}

// Polls `check` until it holds; fails at once when the daemon has ended.
async function until(what, check, seconds = 300) {
    const deadline = Date.now() + seconds * 1000;
    while (!(await check())) {
        assert.equal(daemon.exitCode, null, `The daemon ended while waiting for ${what}:\n` +
            daemon_output());
        assert.ok(Date.now() < deadline, `Gave up waiting for ${what}:\n${daemon_output()}`);
        await new Promise((resolve) => setTimeout(resolve, 200));
    }
}

async function rest_hits(arcid, words) {
    const auth = 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64');
    const res = await fetch(`${portal}/index/${arcid}?q=${words}&num=100`,
        { headers: { Authorization: auth } });
    return (await res.text()).split('<result>').length - 1;
}

// A fresh browser context (cookies, credentials, cache) for one scenario or view; every dialog
// that any page opens is recorded and dismissed.
async function new_page(options = {}) {
    const context = await browser.newContext({
        httpCredentials: { username: user, password }, viewport: { width: 1366, height: 900 },
        ...options,
    });
    const p = await context.newPage();
    p.on('dialog', (d) => {
        dialogs.push(`${p.url()}: ${d.message()}`);
        d.dismiss();
    });
    return p;
}

// The result titles of a page, without white space: the index keeps a title's words and
// punctuation, not the blanks between them.
async function titles_on(p) {
    return (await p.locator('.result-link').allTextContents()).map(squeeze);
}

function squeeze(text) {
    return text.replace(/\s+/g, '');
}

const scenarios = [
    ['the search engine that a browser adds from the front page finds results', async (p) => {
        await p.goto(`${portal}/en/`);
        const description = await p.request.get(
            new URL(await p.getAttribute('link[rel=search]', 'href'), p.url()).href);
        assert.match(description.headers()['content-type'],
            /^application\/opensearchdescription\+xml/);
        const template =
            (await description.text()).match(/<Url type="text\/html"[^>]* template="([^"]*)"/);
        assert.ok(template, await description.text());
        await p.goto(template[1].replace('{searchTerms}', 'lighthouse'));
        assert.equal(await p.textContent('#results-title'), 'Results 1 to 10 of 26');
    }],
    ['a search typed into the front page pages through every result exactly once', async (p) => {
        await p.goto(`${portal}/`);
        assert.equal(p.url(), `${portal}/en/`);
        await p.fill('#q', 'lighthouse');
        await Promise.all([p.waitForURL(/q=lighthouse/), p.press('#q', 'Enter')]);
        assert.equal(await p.textContent('#results-title'), 'Results 1 to 10 of 26');
        assert.equal(await p.inputValue('#q'), 'lighthouse');
        assert.equal(await p.textContent('#user'), 'Anonymous');
        assert.equal(await p.locator('#prev-page').count(), 0);
        const seen = await titles_on(p);
        for (const heading of ['Results 11 to 20 of 26', 'Results 21 to 26 of 26']) {
            await Promise.all([p.waitForURL(/start=/), p.click('#next-page')]);
            assert.equal(await p.textContent('#results-title'), heading);
            assert.equal(await p.locator('#prev-page').count(), 1);
            seen.push(...await titles_on(p));
        }
        assert.equal(await p.locator('#next-page').count(), 0);
        assert.deepEqual(seen.sort(), all_titles.map(squeeze).sort());
    }],
    ['the advanced page runs algebraic and postfix searches', async (p) => {
        for (const [field, query] of [['#alg', '(beacon | zeppelin) & lighthouse'],
            ['#rpn', 'WORD:beacon WORD:lighthouse AND:2']]) {
            await p.goto(`${portal}/en/advanced.html`);
            await p.fill(field, query);
            await Promise.all([p.waitForURL(/index\.html/), p.click(`${field}-button`)]);
            // The beacon page, and the front page with its link "Beacon".
            assert.equal(await p.textContent('#results-title'), 'Results 1 to 2 of 2', field);
            assert.deepEqual((await titles_on(p)).sort(),
                [scripted_title, 'Lighthouse keepers'].map(squeeze), field);
        }
    }],
    ['a cached copy runs none of the crawled page\'s script', async (p) => {
        // The page's script does run where the page comes from, so its absence below means
        // something.
        const site_url = `http://127.0.0.1:${site.address().port}/beacon.html`;
        await p.goto(site_url);
        assert.equal(await p.title(), 'SCRIPT RAN');
        assert.deepEqual(dialogs.splice(0), [`${site_url}: crawled script`]);

        await p.goto(`${portal}/en/index.html?q=beacon`);
        for (const link of ['.cached', '.cached-text']) {
            // (The sandbox headers that stop it are byte for byte in the integration tests.)
            await Promise.all([p.waitForResponse((r) => r.url().includes('/cache/')), p.click(link)]);
            await p.waitForLoadState();
            assert.match(await p.textContent('body'), /lighthouse beacon turns/, link);
            assert.equal(await p.title(), scripted_title, link);
            assert.equal(await p.getAttribute('html', 'data-script-ran'), null, link);
            await p.screenshot({ path: path.join(shots, `${link.slice(1)}-desktop.png`) });
            await p.goBack();
        }
    }],
    ['the language link leads from the English to the German pages and back', async (p) => {
        await p.goto(`${portal}/en/index.html?q=lighthouse`);
        await Promise.all([p.waitForURL(`${portal}/de/`), p.click('#lang-de')]);
        assert.equal(await p.getAttribute('html', 'lang'), 'de');
        await Promise.all([p.waitForURL(`${portal}/en/`), p.click('#lang-en')]);
        assert.equal(await p.getAttribute('html', 'lang'), 'en');
    }],
    ['the private area needs the password and searches as the signed-in user', async (p) => {
        // (A wrong password gets the bodiless 401 reply, and what only some users may read stays
        // out of the others' pages: see the integration tests.)
        await p.goto(`${portal}/en/`);
        await Promise.all([p.waitForURL(`${portal}/private/`), p.click('#private-link')]);
        assert.equal(await p.textContent('#signed-in-user'), user);
        assert.equal(await p.textContent('#user'), user);
        await p.fill('#q', 'lighthouse');
        await Promise.all([p.waitForURL(/q=lighthouse/), p.click('#search-button')]);
        assert.equal(await p.textContent('#results-title'), 'Results 1 to 10 of 26');
        // Its links keep to the private area.
        await Promise.all([p.waitForURL(/start=10/), p.click('#next-page')]);
        assert.ok(p.url().startsWith(`${portal}/private/`), p.url());
    }],
    ['script in the query parameters does not run on any search page', async (p) => {
        for (const payload of payloads) {
            for (const target of ['/en/index.html?q=', '/private/index.html?q=',
                '/en/index.html?rpn=']) {
                await p.goto(portal + target + encodeURIComponent(payload));
                assert.equal(await p.getAttribute('html', 'data-injected'), null, target);
                if (target.endsWith('q=')) {
                    assert.equal(await p.inputValue('#q'), payload, target);
                }
            }
        }
    }],
];

for (const [name, run] of scenarios) {
    test(name, async () => {
        const p = await new_page();
        try {
            await run(p);
        } finally {
            await p.context().close();
        }
        assert.deepEqual(dialogs, []);
    });
}

// Pages checked for accessibility and layout at both widths, and photographed into
// VANT_SCREENSHOT_DIR/<name>-<width>.png.
const views = [
    ['front-en', '/en/'],
    ['results-en', '/en/index.html?q=lighthouse'],
    ['no-match-en', '/en/index.html?q=zeppelin'],
    ['advanced-en', '/en/advanced.html'],
    ['front-de', '/de/'],
    ['results-de', '/de/index.html?q=lighthouse&start=10'],
    ['private', '/private/index.html?q=lighthouse'],
    ['cache-error-en', '/en/cache/none.html?doc=00000000000000000000000000000000'],
];
const widths = {
    phone: { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true },
    desktop: { viewport: { width: 1366, height: 900 } },
};

// What a page gets wrong for readers with assistive technology or low vision: the document
// language, one h1, a title, a label for every control, unique ids, no tab order of its own,
// a viewport for phones, text contrast of at least 4.5:1 (3:1 for large text) and no content
// wider than the window.
function accessibility_problems() {
    const html = document.documentElement;
    const all = (selector) => [...document.querySelectorAll(selector)];
    const ids = all('[id]').map((e) => e.id);
    return [
        !html.lang && 'no lang attribute',
        all('h1').length !== 1 && `${all('h1').length} h1 elements`,
        !document.title.trim() && 'no title',
        ...all('input, select, textarea').filter((c) => c.type !== 'hidden' && !c.labels.length)
            .map((c) => `#${c.id || c.name} has no label`),
        ...ids.filter((id, i) => ids.indexOf(id) !== i).map((id) => `id ${id} used twice`),
        ...all('[tabindex]').filter((e) => e.tabIndex > 0)
            .map((e) => `tabindex ${e.tabIndex} on ${e.tagName}`),
        !/width=device-width/.test(document.querySelector('meta[name=viewport]')?.content) &&
            'no viewport for phones',
        html.scrollWidth > html.clientWidth &&
            `content ${html.scrollWidth} px wide in a window of ${html.clientWidth}`,
        ...all('body *').map(contrast_problem),
    ].filter(Boolean);

    // The contrast of an element's own text against the first background behind it.
    function contrast_problem(e) {
        const style = getComputedStyle(e);
        if (![...e.childNodes].some((n) => n.nodeType === 3 && n.data.trim()) ||
            style.visibility === 'hidden' || e.getClientRects().length === 0) {
            return false;
        }
        const rgba = (c) => c.match(/[\d.]+/g).map(Number).concat(1).slice(0, 4);
        const luminance = ([r, g, b]) => [r, g, b].map((v) => {
            v /= 255;
            return v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4;
        }).reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
        let back = [255, 255, 255, 1];
        for (let p = e; p; p = p.parentElement) {
            const c = rgba(getComputedStyle(p).backgroundColor);
            if (c[3] > 0) {
                back = c;
                break;
            }
        }
        const [l1, l2] = [luminance(rgba(style.color)), luminance(back)];
        const ratio = (Math.max(l1, l2) + 0.05) / (Math.min(l1, l2) + 0.05);
        const large = parseFloat(style.fontSize) >= 24 ||
            (parseFloat(style.fontSize) >= 18.66 && Number(style.fontWeight) >= 700);
        return ratio < (large ? 3 : 4.5) &&
            `contrast ${ratio.toFixed(2)} of "${e.textContent.trim().slice(0, 30)}"`;
    }
}

// Where keyboard focus is: its place among the page's controls in document order, and whether
// it is on the page and shows an outline.
function focus_state() {
    const e = document.activeElement;
    const r = e.getBoundingClientRect();
    const style = getComputedStyle(e);
    return {
        what: `${e.tagName} ${e.id || e.textContent.trim().slice(0, 20)}`,
        place: [...document.querySelectorAll('a[href], input, select, button')].indexOf(e),
        on_page: r.width > 0 && r.height > 0 && r.right > 0 && r.left < innerWidth,
        outlined: style.outlineStyle !== 'none' && parseFloat(style.outlineWidth) >= 2,
    };
}

for (const [name, target] of views) {
    test(`${name} is accessible and fits phone and desktop widths`, async () => {
        for (const [width, options] of Object.entries(widths)) {
            const p = await new_page(options);
            try {
                assert.equal((await p.goto(portal + target)).status(), 200);
                assert.deepEqual(await p.evaluate(accessibility_problems), [], width);
                await p.screenshot({ path: path.join(shots, `${name}-${width}.png`),
                    fullPage: true });
                // Tab visits every control once, in the order of the page, and each stop can
                // be seen.
                const controls = await p.locator('a[href], input, select, button').count();
                for (let place = 0; place < controls; ++place) {
                    await p.keyboard.press('Tab');
                    const state = await p.evaluate(focus_state);
                    assert.ok(state.place === place && state.on_page && state.outlined,
                        `${width}: Tab ${place + 1} of ${controls}: ${JSON.stringify(state)}`);
                }
            } finally {
                await p.context().close();
            }
        }
    });
}
