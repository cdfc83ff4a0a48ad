// An OAuth2 authorisation server for tests: npm oidc-provider over HTTPS on 127.0.0.1 with the
// paths of the Microsoft identity platform (or Google's, Yandex's), a client per flow, short-lived access tokens,
// token introspection for the IMAP server, and login/consent pages that check the password.
// Usage: node oauth_provider.mjs MODULE_DIR CERT KEY
// Prints "READY PORT" on stdout once it listens; everything else goes to stderr.
import https from 'node:https';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

console.info = console.error;
console.log = console.error;
console.warn = console.error;

const [moduleDir, certFile, keyFile] = process.argv.slice(2);
const entry = path.join(moduleDir, 'node_modules', 'oidc-provider', 'lib', 'index.js');
const { default: Provider } = await import(pathToFileURL(entry).href);

const USERS = { 'tester': 's3cret' };
const IMAP_SCOPE = 'https://outlook.office.com/IMAP.AccessAsUser.All';
const ACCESS_TOKEN_SECONDS = Number(process.env.TARVEL_TEST_ACCESS_TOKEN_SECONDS || 20);
// For a browser no test can type into: the login and consent pages fill in the test user and
// send themselves.
const PAGES_PLAY_THE_USER = process.env.TARVEL_TEST_PAGES_PLAY_THE_USER === '1';
const LOGIN_SCRIPT = PAGES_PLAY_THE_USER
  ? `<script>var f = document.forms[0]; f.login.value = 'tester'; f.password.value = 's3cret';
     f.submit();</script>` : '';
const CONSENT_SCRIPT = PAGES_PLAY_THE_USER ? '<script>document.forms[0].submit();</script>' : '';

// The provider whose host names and paths the server takes (TARVEL_TEST_PROVIDER): the
// issuer, the authorisation and token paths, and the IMAP scope the program asks for.
const PROFILES = {
  microsoft: {
    issuer: 'https://login.microsoftonline.com', authorization: '/common/oauth2/v2.0/authorize',
    token: '/common/oauth2/v2.0/token', scope: IMAP_SCOPE,
  },
  google: {
    issuer: 'https://accounts.google.com', authorization: '/o/oauth2/v2/auth', token: '/token',
    scope: 'https://mail.google.com/',
  },
  yandex: {
    issuer: 'https://oauth.yandex.com', authorization: '/authorize', token: '/token',
    scope: 'mail:imap_full',
  },
};
const PROFILE = PROFILES[process.env.TARVEL_TEST_PROVIDER || 'microsoft'];
if (!PROFILE) throw new Error(`unknown provider ${process.env.TARVEL_TEST_PROVIDER}`);

const provider = new Provider(PROFILE.issuer, {
  clients: [
    { // code flow with PKCE and a secret
      client_id: 'code-client', client_secret: 'code-secret', application_type: 'native',
      redirect_uris: ['http://127.0.0.1/'], grant_types: ['authorization_code', 'refresh_token'],
      response_types: ['code'], token_endpoint_auth_method: 'client_secret_post',
    },
    { // device flow, a public client
      client_id: 'device-client', application_type: 'native', redirect_uris: [],
      response_types: [], token_endpoint_auth_method: 'none',
      grant_types: ['urn:ietf:params:oauth:grant-type:device_code', 'refresh_token'],
    },
    { // the IMAP server's introspection client
      client_id: 'dovecot', client_secret: 'dovecot-secret', redirect_uris: [],
      response_types: [], grant_types: [], token_endpoint_auth_method: 'client_secret_basic',
    },
  ],
  routes: {
    authorization: PROFILE.authorization,
    token: PROFILE.token,
    device_authorization: '/common/oauth2/v2.0/devicecode',
    code_verification: '/device',
    introspection: '/token/introspection',
    revocation: '/token/revocation',
  },
  scopes: ['openid', 'offline_access', PROFILE.scope],
  features: {
    devInteractions: { enabled: false },
    deviceFlow: {
      enabled: true,
      userCodeInputSource: async (ctx, form) => {
        ctx.body = `<!DOCTYPE html><html><body>${form}</body></html>`;
      },
      userCodeConfirmSource: async (ctx, form) => {
        ctx.body = `<!DOCTYPE html><html><body>${form}</body></html>`;
      },
      successSource: async (ctx) => { ctx.body = '<html><body>device-approved</body></html>'; },
    },
    introspection: {
      enabled: true,
      // A refresh token is shown only to its own client.
      allowedPolicy: async (ctx, client, token) =>
        !(token.kind === 'RefreshToken' && token.clientId !== client.clientId),
    },
    revocation: { enabled: true },
  },
  pkce: { required: () => true },
  issueRefreshToken: async (ctx, client) => client.grantTypeAllowed('refresh_token'),
  ttl: {
    AccessToken: ACCESS_TOKEN_SECONDS,
    AuthorizationCode: 60,
    DeviceCode: 600,
    Grant: 3600,
    Interaction: 600,
    Session: 3600,
    RefreshToken: 3600,
  },
  extraTokenClaims: async (ctx, token) => ({ username: token.accountId }),
  findAccount: async (ctx, sub) => ({ accountId: sub, claims: async () => ({ sub }) }),
  interactions: { url: (ctx, interaction) => `/interaction/${interaction.uid}` },
});
provider.proxy = false;

function readBody(req) {
  return new Promise((resolve) => {
    let data = '';
    req.on('data', (chunk) => { data += chunk; if (data.length > 65536) req.destroy(); });
    req.on('end', () => resolve(new URLSearchParams(data)));
  });
}

function page(res, html, status = 200) {
  res.writeHead(status, { 'Content-Type': 'text/html; charset=utf-8' });
  res.end(`<!DOCTYPE html><html><body>${html}</body></html>`);
}

async function interaction(req, res) {
  const details = await provider.interactionDetails(req, res);
  const uid = details.uid;
  if (req.method === 'GET') {
    if (details.prompt.name === 'login') {
      return page(res, `<form method="post" action="/interaction/${uid}/login">
        <input name="login"><input name="password" type="password"></form>${LOGIN_SCRIPT}`);
    }
    return page(res, `<form method="post" action="/interaction/${uid}/confirm">
      <input type="hidden" name="consent" value="yes"></form>${CONSENT_SCRIPT}`);
  }
  const body = await readBody(req);
  if (req.url.endsWith('/login')) {
    const login = body.get('login');
    if (!login || USERS[login] !== body.get('password')) {
      return page(res, `wrong password<form method="post" action="/interaction/${uid}/login">
        <input name="login"><input name="password" type="password"></form>`, 401);
    }
    return provider.interactionFinished(req, res, { login: { accountId: login } },
      { mergeWithLastSubmission: false });
  }
  const { prompt: { details: missing }, params, session, grantId } = details;
  const grant = grantId ? await provider.Grant.find(grantId)
    : new provider.Grant({ accountId: session.accountId, clientId: params.client_id });
  if (missing.missingOIDCScope) grant.addOIDCScope(missing.missingOIDCScope.join(' '));
  if (missing.missingOIDCClaims) grant.addOIDCClaims(missing.missingOIDCClaims);
  if (missing.missingResourceScopes) {
    for (const [indicator, scopes] of Object.entries(missing.missingResourceScopes)) {
      grant.addResourceScope(indicator, scopes.join(' '));
    }
  }
  return provider.interactionFinished(req, res, { consent: { grantId: await grant.save() } },
    { mergeWithLastSubmission: true });
}

const callback = provider.callback();
const server = https.createServer({
  cert: fs.readFileSync(certFile), key: fs.readFileSync(keyFile),
}, (req, res) => {
  if (req.url.startsWith('/interaction/')) {
    interaction(req, res).catch((error) => {
      console.error(error);
      page(res, 'interaction failed', 500);
    });
    return;
  }
  callback(req, res);
});
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`READY ${server.address().port}\n`);
});
