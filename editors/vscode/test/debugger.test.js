// The debugger type mrv33 as VS Code reads it from package.json: every
// configuration the extension offers names only attributes its request
// declares and has the ones it requires, and the extension starts an adapter
// for every debugger type it contributes.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const root = path.join(__dirname, '..');
const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
const debuggers = pkg.contributes.debuggers || [];
const common = new Set(['type', 'request', 'name']);

test('the extension contributes the debugger type mrv33 for scenarios', () => {
  const mrv = debuggers.find((d) => d.type === 'mrv33');
  assert.ok(mrv, 'no debugger of type mrv33');
  assert.deepEqual(mrv.languages, ['mrv-scenario']);
  assert.ok(
    (pkg.contributes.breakpoints || []).some((b) => b.language === 'mrv-scenario'),
    'breakpoints cannot be set in scenarios',
  );
});

test('every offered configuration fits the attributes of its request', () => {
  for (const d of debuggers) {
    const offered = [
      ...(d.initialConfigurations || []).map((c) => ['initial', c]),
      ...(d.configurationSnippets || []).map((s) => [s.label, s.body]),
    ];
    const requests = new Set();
    for (const [label, config] of offered) {
      assert.equal(config.type, d.type, `${label}: type`);
      const attributes = d.configurationAttributes[config.request];
      assert.ok(attributes, `${label}: no attributes for request ${config.request}`);
      requests.add(config.request);
      for (const key of Object.keys(config)) {
        if (common.has(key)) continue;
        assert.ok(key in (attributes.properties || {}), `${label}: ${key} is not an attribute`);
      }
      for (const key of attributes.required || []) assert.ok(key in config, `${label}: ${key} missing`);
    }
    assert.deepEqual([...requests].sort(), Object.keys(d.configurationAttributes).sort(),
      `${d.type}: a snippet for each request`);
  }
});

test('the extension starts an adapter for every debugger type', () => {
  const source = fs.readFileSync(path.join(root, pkg.main), 'utf8');
  for (const d of debuggers) {
    assert.match(source, new RegExp(`registerDebugAdapterDescriptorFactory\\(\\s*'${d.type}'`), d.type);
  }
});
