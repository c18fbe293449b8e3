// Run by the two-user end-to-end test as each user: the page-side client finds a daemon the way a
// page does (probing the ports in order) and sends one request over HTTPS. Prints one JSON line
// with the port it found and the module's reply status, or the error's name.
import { VelstraClient } from '../../web/norrim-velstra.js';

const client = new VelstraClient({
  transport: 'http',
  origin: 'https://a.test',
  storage: null,
  permissions: null,
  probeTimeout: 5000,
});
try {
  const result = await client.send({ data: 'hello' });
  console.log(JSON.stringify({ port: result.port, status: result.status }));
} catch (err) {
  console.log(JSON.stringify({ error: err.name, message: err.message }));
  process.exitCode = 1;
}
