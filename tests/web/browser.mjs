// Debian's headless Chromium, never a browser of puppeteer's own, started
// with what this machine's closed network needs.
import puppeteer from 'puppeteer-core';

export function launchBrowser() {
  return puppeteer.launch({
    executablePath: process.env.KESTRAV_BROWSER || '/usr/bin/chromium-headless-shell',
    headless: 'shell',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update',
           '--disable-sync', '--disable-dev-shm-usage'],
  });
}
