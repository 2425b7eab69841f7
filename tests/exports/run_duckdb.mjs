// Runs one DuckDB read-back recipe (a SQL file) in the current folder and
// prints the column types as a JSON object on the first line, then each row
// as DuckDB's own to_json spells it. DuckDB writes the JSON so that nothing
// is lost on the way to the checker: JavaScript numbers would round UBIGINTs,
// and its text decoding drops a byte order mark that starts a string.
// Usage: node run_duckdb.mjs NODE_MODULES_DIR RECIPE.sql
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';

const [modules, recipe] = process.argv.slice(2);
const { DuckDBInstance } = createRequire(join(modules, 'x.js'))('@duckdb/node-api');
const sql = readFileSync(recipe, 'utf8').trim().replace(/;$/, '');

const instance = await DuckDBInstance.create(':memory:');
const connection = await instance.connect();
const described = await connection.runAndReadAll(`DESCRIBE ${sql}`);
const types = {};
for (const row of described.getRowObjectsJson()) {
  types[row.column_name] = row.column_type;
}
const result = await connection.runAndReadAll(
  `SELECT CAST(to_json(recipe) AS VARCHAR) FROM (${sql}) AS recipe`);
const lines = [JSON.stringify(types)];
for (const [row] of result.getRows()) lines.push(row);
process.stdout.write(lines.join('\n') + '\n');
