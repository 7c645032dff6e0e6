// Tokenizes scenario sources and definition files with the grammar engine
// VS Code uses and checks the scopes of what an author sees highlighted.
'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const root = path.join(__dirname, '..');
const examples = path.join(root, '..', '..', 'examples');

const grammarFiles = {
  'source.mrv-scenario': 'syntaxes/mrv-scenario.tmLanguage.json',
  'source.mrv-definitions': 'syntaxes/mrv-definitions.tmLanguage.json',
};

const registry = new vsctm.Registry({
  onigLib: (async () => {
    const wasm = fs.readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm'));
    await oniguruma.loadWASM(wasm.buffer.slice(wasm.byteOffset, wasm.byteOffset + wasm.length));
    return {
      createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
      createOnigString: (s) => new oniguruma.OnigString(s),
    };
  })(),
  loadGrammar: async (scopeName) => {
    const file = grammarFiles[scopeName];
    if (!file) return null;
    const text = fs.readFileSync(path.join(root, file), 'utf8');
    return vsctm.parseRawGrammar(text, path.join(root, file));
  },
});

// Every token of `text` as [token text, its innermost scope, all scopes].
async function tokenize(scopeName, text) {
  const grammar = await registry.loadGrammar(scopeName);
  assert.ok(grammar, `grammar ${scopeName} loads`);
  const out = [];
  let state = vsctm.INITIAL;
  for (const line of text.split(/\r?\n/)) {
    const r = grammar.tokenizeLine(line, state);
    for (const t of r.tokens) {
      const s = line.slice(t.startIndex, t.endIndex);
      out.push([s, t.scopes[t.scopes.length - 1], t.scopes]);
    }
    state = r.ruleStack;
  }
  return out;
}

// The innermost scope of the first token whose text is `s` (after `from`).
function scopeOf(tokens, s, from = 0) {
  for (let i = from; i < tokens.length; i++) if (tokens[i][0] === s) return tokens[i][1];
  return undefined;
}

function sjis(file) {
  return new TextDecoder('shift_jis').decode(fs.readFileSync(file));
}

test('scenario: commands, variables, strings, numbers, comments, prefixes, braces', async () => {
  const src = [
    '// 開始: カウンタ',
    'For(\\$A, 0, 0x1F, 1) { MRVWIN:DRAW($20, $A * 16, #5); };',
    'If($2 != 0) { Wait(30); } ELSE { $1 = "こんにちは@L"; };',
    '$(1+2)[3] = .5; #13 = 0b101; $@ = TRUE;',
  ].join('\n');
  const t = await tokenize('source.mrv-scenario', src);
  const cases = [
    ['// 開始: カウンタ', undefined],
    ['For', 'keyword.control.mrv'],
    ['\\', 'keyword.operator.reference.mrv'],
    ['A', 'variable.other.local.mrv'],
    ['0x1F', 'constant.numeric.hex.mrv'],
    ['MRVWIN', 'entity.name.namespace.library.mrv'],
    [':', 'punctuation.separator.library.mrv'],
    ['DRAW', 'entity.name.function.library.mrv'],
    ['20', 'variable.other.common.mrv'],
    ['5', 'variable.language.system.mrv'],
    ['{', 'punctuation.section.block.begin.mrv'],
    ['}', 'punctuation.section.block.end.mrv'],
    [';', 'punctuation.terminator.statement.mrv'],
    ['If', 'keyword.control.mrv'],
    ['!=', 'keyword.operator.comparison.mrv'],
    ['Wait', 'entity.name.function.mrv'],
    ['ELSE', 'keyword.control.else.mrv'],
    ['@L', 'constant.character.escape.text-command.mrv'],
    ['.5', 'constant.numeric.decimal.mrv'],
    ['0b101', 'constant.numeric.binary.mrv'],
    ['@', 'variable.other.local.mrv'],
    ['TRUE', 'constant.language.mrv'],
  ];
  // The comment is one token whose scopes name the comment.
  assert.ok(t[0][2].includes('comment.line.double-slash.mrv'), 'comment line');
  for (const [s, scope] of cases.slice(1)) assert.equal(scopeOf(t, s), scope, s);
  // Japanese text inside a string stays inside the string.
  const jp = t.find((x) => x[0].includes('こんにちは'));
  assert.ok(jp && jp[2].includes('string.quoted.double.mrv'), 'Japanese text in a string');
});

test('scenario: a comment or a brace inside a string is part of the string', async () => {
  const t = await tokenize('source.mrv-scenario', 'DebugMessage("a // b { c"); // end');
  const inString = t.find((x) => x[0].includes('a // b { c'));
  assert.ok(inString && inString[2].includes('string.quoted.double.mrv'));
  assert.ok(t[t.length - 1][2].includes('comment.line.double-slash.mrv'));
  assert.equal(
    t.filter((x) => x[1] === 'punctuation.section.block.begin.mrv').length,
    0,
    'no block opened',
  );
});

test('scenario: nested blocks close where their braces close', async () => {
  const src = 'While(1) {\n  For(\\$B, 1, 2, 1) {\n    Break(0);\n  };\n};\nWait(1);';
  const t = await tokenize('source.mrv-scenario', src);
  const wait = t.find((x) => x[0] === 'Wait');
  // After both blocks closed, Wait is at the top level again.
  assert.deepEqual(wait[2], ['source.mrv-scenario', 'entity.name.function.mrv']);
  const brk = t.find((x) => x[0] === 'Break');
  assert.equal(brk[2].filter((s) => s === 'meta.block.mrv').length, 2, 'Break is two blocks deep');
  assert.equal(brk[1], 'keyword.control.flow.mrv');
});

test('the bundled title tokenizes with every line in known scopes', async () => {
  for (const name of ['MRV.SNA', 'COUNT.SNA']) {
    const t = await tokenize('source.mrv-scenario', sjis(path.join(examples, 'mrv', name)));
    // Every non-blank token outside comments and strings has a scope of its own.
    const bare = t.filter(
      (x) => x[2].length === 1 && x[0].trim() !== '',
    );
    assert.deepEqual(bare.map((x) => x[0]), [], `${name}: tokens without a scope`);
    assert.ok(t.some((x) => x[1] === 'entity.name.namespace.library.mrv'), `${name}: library prefix`);
  }
});

test('definition file: #define and #include with any delimiter, comments, errors', async () => {
  const src = [
    '// 定義',
    "#define 'QUIT_QUESTION' '\"終了しますか？\"'",
    '#DEFINE /A/ /x/',
    "#include 'HEAD' 'head.txt'",
    "#undef 'X'",
  ].join('\n');
  const t = await tokenize('source.mrv-definitions', src);
  assert.ok(t[0][2].includes('comment.line.double-slash.mrv-def'));
  assert.equal(scopeOf(t, '#define'), 'keyword.control.directive.define.mrv-def');
  assert.equal(scopeOf(t, 'QUIT_QUESTION'), 'entity.name.macro.mrv-def');
  assert.equal(scopeOf(t, '"終了しますか？"'), 'string.unquoted.replacement.mrv-def');
  assert.equal(scopeOf(t, '#DEFINE'), 'keyword.control.directive.define.mrv-def');
  assert.equal(scopeOf(t, 'A'), 'entity.name.macro.mrv-def');
  assert.equal(scopeOf(t, 'x'), 'string.unquoted.replacement.mrv-def');
  assert.equal(scopeOf(t, 'HEAD'), 'entity.name.macro.include.mrv-def');
  assert.equal(scopeOf(t, 'head.txt'), 'string.quoted.other.file.mrv-def');
  assert.equal(scopeOf(t, '#undef'), 'invalid.illegal.command.mrv-def');
});

test('the package contributes what it names', () => {
  const pkg = JSON.parse(fs.readFileSync(path.join(root, 'package.json'), 'utf8'));
  const c = pkg.contributes;
  for (const g of c.grammars) assert.ok(fs.existsSync(path.join(root, g.path)), g.path);
  for (const s of c.snippets) {
    const snippets = JSON.parse(fs.readFileSync(path.join(root, s.path), 'utf8'));
    for (const name of ['For', 'If', 'While', 'Loop', 'Switch', 'Case'])
      assert.ok(snippets[name], `snippet ${name}`);
  }
  assert.equal(c.configurationDefaults['[mrv-scenario]']['files.encoding'], 'shiftjis');
  assert.ok(c.languages.find((l) => l.id === 'mrv-scenario').extensions.includes('.SNA'));
});
