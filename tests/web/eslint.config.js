// The consoles' JavaScript (web/, the station's; hq/web/, the head office's) runs in the
// browser; their tests (tests/web/) under node.
// Run from the repository's root: npx --prefix tests/web eslint -c tests/web/eslint.config.js
import js from '@eslint/js';
import globals from 'globals';

export default [
    { ignores: ['tests/web/node_modules/**', 'build/**'] },
    js.configs.recommended,
    {
        files: ['web/**/*.js', 'hq/web/**/*.js'],
        languageOptions: { ecmaVersion: 2023, sourceType: 'module', globals: globals.browser },
    },
    {
        files: ['tests/web/**/*.js', 'tests/web/**/*.mjs'],
        languageOptions: { ecmaVersion: 2023, sourceType: 'module', globals: { ...globals.node, ...globals.browser } },
    },
    {
        rules: {
            // ESLint 9 runs on Debian's node 18 as well as on 20; these are what 10's
            // recommended set adds to 9's, so that the lint is the same on either.
            'no-unassigned-vars': 'error',
            'no-useless-assignment': 'error',
            'preserve-caught-error': 'error',
            'no-shadow-restricted-names': ['error', { reportGlobalThis: true }],
            'no-unused-vars': ['error', { args: 'after-used', argsIgnorePattern: '^_', caughtErrors: 'none' }],
            eqeqeq: 'error',
            'no-var': 'error',
            'prefer-const': 'error',
            'no-implicit-globals': 'error',
            'no-eval': 'error',
            'no-implied-eval': 'error',
            'no-new-func': 'error',
            // Text from the server (client names, messages) must never become markup.
            'no-restricted-properties': ['error',
                { property: 'innerHTML', message: 'build elements with dom.js' },
                { property: 'outerHTML', message: 'build elements with dom.js' },
                { property: 'insertAdjacentHTML', message: 'build elements with dom.js' }],
        },
    },
];
