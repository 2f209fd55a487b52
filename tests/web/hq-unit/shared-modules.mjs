// The head office console imports the station console's shared modules as its neighbours
// ('./api.js'): fuel-hq serves both folders as one. Node, which reads them from disk, is
// told the same: a module hq/web/ names but does not hold comes from web/.
// Used as: node --import ./tests/web/hq-unit/shared-modules.mjs --test tests/web/hq-unit/
import fs from 'node:fs';
import { register } from 'node:module';

const hqWeb = new URL('../../../hq/web/', import.meta.url).href;
const web = new URL('../../../web/', import.meta.url).href;

export async function resolve(specifier, context, next) {
    if (context.parentURL?.startsWith(hqWeb) && specifier.startsWith('./')) {
        const own = new URL(specifier, context.parentURL);
        if (!fs.existsSync(own)) return next(new URL(specifier, web).href, context);
    }
    return next(specifier, context);
}

if (!globalThis.fuelSharedModules) {
    globalThis.fuelSharedModules = true;
    register(import.meta.url);
}
