// The type declarations and the module export the same names, so TypeScript users see what exists.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import * as client from '../../web/norrim-velstra.js';

test('Declarations_ExportedNames_MatchTheModule', () => {
  const dts = readFileSync(new URL('../../web/norrim-velstra.d.ts', import.meta.url), 'utf8');
  const declared = [...dts.matchAll(/^export declare (?:const|class|function) (\w+)/gm)].map((m) => m[1]);
  assert.deepEqual(declared.sort(), Object.keys(client).sort());
});
