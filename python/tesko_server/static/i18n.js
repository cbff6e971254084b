// The page's own words, in Portuguese (the default) and English. The
// choice is remembered in localStorage. Every error code of the protocol
// has words here in both languages (a test holds them to docs/protocol.md);
// the server's English message is for logs and tools. Names and the
// engine's refusal messages are shown as sent; the English page adds a
// gloss beside the engine's Portuguese (GLOSSES). The server's limits are
// quoted from what it sends ({max_level}, {name_limit}).

import { LIMITS } from './limits.js';

const WORDS = {
  pt: {
    language: 'Língua',
    tagline: 'Um jogo de cartas para dois numa grelha de 3 × 4.',
    lobby: '← Átrio',
    your_name: 'O teu nome',
    default_name: 'Jogador',
    engine_heading: 'Jogar contra o motor',
    strength: 'Força',
    level_easy: 'Fácil (nível 1)',
    level_medium: 'Médio (nível 3)',
    level_hard: 'Difícil (nível 6)',
    level_other: 'Outro nível',
    level_number: 'Nível (1 a {max_level})',
    first_heading: 'Quem começa',
    first_me: 'Eu',
    first_engine: 'O motor',
    hide_marks: 'Esconder os donos das cartas viradas para baixo (jogar de memória)',
    let_watch: 'Deixar outros assistir',
    play: 'Jogar',
    friend_heading: 'Jogar com um amigo',
    friend_text: 'Cria uma sala privada e envia a ligação a quem quiseres.',
    friend_public: 'Mostrar a sala no átrio (qualquer pessoa pode entrar)',
    create_room: 'Criar sala',
    waiting_heading: 'Salas à espera de jogador',
    waiting_none: 'Nenhuma sala à espera.',
    playing_heading: 'Jogos a decorrer',
    playing_none: 'Nenhum jogo a decorrer.',
    refresh: 'Atualizar',
    join: 'Entrar',
    join_room: 'Entrar na sala de {name}',
    watch: 'Assistir',
    watch_game: 'Assistir a {a} contra {b}',
    waits: '{name} espera adversário',
    versus: '{a} contra {b}',
    plies: '{n} jogadas',
    ply_one: '1 jogada',
    engine_name: 'motor (nível {level})',
    free_seat: 'lugar livre',
    lists_failed: 'Não foi possível ler as salas.',
    // Every error code of the protocol, in words (the server's own message
    // is English, for logs and tools).
    err_network: 'Sem ligação ao servidor.',
    err_bad_request: 'O servidor recusou o pedido: um dos valores não é válido.',
    err_missing_token: 'Falta a chave do teu lugar nesta sala.',
    err_bad_token: 'A chave do teu lugar já não vale nesta sala.',
    err_no_such_room: 'Esta sala não existe ou já expirou.',
    err_seat_taken: 'Esse lugar já foi ocupado.',
    err_room_full: 'A sala já está cheia.',
    err_game_over: 'O jogo desta sala já acabou.',
    err_owners_hidden: 'Esta sala esconde os donos das cartas viradas para baixo: o registo só se lê quando o jogo acabar.',
    err_too_large: 'O pedido é grande demais.',
    err_too_many_rooms: 'Já tens salas abertas demais; acaba ou deixa uma primeiro.',
    err_server_full: 'O servidor está cheio; tenta daqui a pouco.',
    err_engine_unavailable: 'O motor está a reiniciar; tenta de novo.',
    err_shutting_down: 'O servidor está a parar; tenta daqui a pouco.',
    err_illegal_move: 'Jogada não permitida.',
    err_not_your_turn: 'Não é a tua vez.',
    err_spectator: 'Quem assiste não pode jogar.',
    err_waiting: 'Falta um jogador.',
    err_bad_message: 'O servidor não percebeu a mensagem.',
    err_busy: 'O motor está a recomeçar; tenta de novo.',
    err_bad_protocol: 'Esta página é de outra versão do servidor; recarrega-a.',
    err_rate_limited: 'Mensagens a mais em pouco tempo; a ligação foi fechada e vai voltar.',
    err_bad_origin: 'Este pedido veio de outro site e foi recusado.',
    err_bad_content_type: 'O servidor recusou o pedido: não veio em JSON.',
    err_store_failed: 'O servidor não conseguiu guardar e vai parar; tenta daqui a pouco.',
    err_room_moved: 'A sala passou para outro servidor; tenta de novo.',
    err_out_of_time: 'Acabou o teu tempo para esta jogada.',
    err_opponent_connected: 'O teu adversário está ligado: não podes reclamar a vitória.',
    err_too_early: 'O teu adversário ainda pode voltar; espera um pouco para reclamar a vitória.',
    err_opponent_left: 'O teu adversário deixou o lugar: não há desforra.',
    err_too_many_joins: 'Os lugares desta sala já foram ocupados vezes demais.',
    err_too_many_requests: 'Pedidos a mais em pouco tempo; espera um pouco e tenta de novo.',
    err_too_many_spectators: 'Esta sala já tem o máximo de espectadores; tenta daqui a pouco.',
    err_too_many_sockets: 'Tens ligações abertas demais a este servidor; fecha alguns separadores.',
    err_other: 'Erro: {message}',
    name_cut: 'Um nome tem até {name_limit} caracteres: o teu foi cortado.',
    name_long: 'Um nome tem até {name_limit} caracteres.',
    name_empty: 'O nome precisa de pelo menos uma letra ou símbolo visível.',
    name_chars: 'O nome não pode ter caracteres de controlo nem marcas que mudam a direção do texto.',
    room: 'Sala {id}',
    board: 'Tabuleiro',
    cell_empty: '{slot}, vazia',
    cell_up: '{slot}, {card}, virada para cima',
    cell_down: '{slot}, {card}, virada para baixo',
    cell_back: '{slot}, carta virada para baixo',
    mine_N: 'a tua carta Normal',
    mine_F: 'a tua Figura',
    theirs_N: 'carta Normal do adversário',
    theirs_F: 'Figura do adversário',
    side_N: 'carta Normal de {side}',
    side_F: 'Figura de {side}',
    kind_N: 'Normal',
    kind_F: 'Figura',
    selected: 'selecionada',
    target: 'alvo',
    last_move: 'última jogada',
    r_loading: 'A carregar.',
    r_over: 'O jogo acabou.',
    r_watching: 'Estás a assistir.',
    r_waiting: 'À espera do segundo jogador.',
    r_not_turn: 'Não é a tua vez.',
    r_empty: 'Casa vazia.',
    r_theirs_up: 'Não podes jogar uma carta do adversário virada para cima.',
    r_no_targets: 'Esta Figura não tem alvos.',
    r_not_target: 'Não é alvo desta Figura.',
    r_not_legal: 'Jogada não permitida.',
    h_play: 'jogar esta carta Normal',
    h_take: 'retirar esta carta',
    h_select: 'escolher esta Figura e depois o alvo',
    h_target: 'virar esta carta com a Figura de {from}',
    h_cancel: 'cancelar a escolha',
    hint: '{slot}: {text}',
    t_loading: 'A ligar…',
    t_yours: 'É a tua vez.',
    t_pick_target: 'Escolhe o alvo da Figura de {slot} (Escape cancela).',
    t_other: 'Vez de {name} ({side}).',
    t_thinking: 'O motor está a pensar… {s} s',
    t_waiting: 'À espera do segundo jogador.',
    t_over: 'Fim do jogo.',
    played: '{name} ({side}) jogou {move}.',
    passed: '{name} ({side}) passou.',
    move_label: 'Jogada',
    move_placeholder: 'ex.: B2 ou B3A1',
    move_send: 'Jogar',
    refused_offline: 'Sem ligação; tenta quando voltar.',
    r_offline: 'Sem ligação: à espera de restabelecer o jogo.',
    presence_unknown: 'a confirmar',
    refused_empty: 'Escreve uma jogada, por exemplo B2 ou B3A1.',
    you: 'tu',
    cards: '{n} cartas',
    card_one: '1 carta',
    material: 'material {n}',
    face_up: '{n} viradas para cima',
    online: 'ligado',
    offline: 'desligado',
    you_play: 'Jogas com {side}.',
    you_watch: 'Estás a assistir.',
    spectators: '{n} a assistir',
    moves_heading: 'Jogadas',
    moves_none: 'Ainda nenhuma jogada.',
    review_heading: 'A análise do motor',
    review_pending: 'O motor está a analisar o jogo…',
    review_failed: 'O motor não conseguiu analisar este jogo.',
    review_empty: 'Não houve jogadas para analisar.',
    review_prev: 'Anterior',
    review_next: 'Seguinte',
    review_keys: 'As teclas ← e → também percorrem o jogo.',
    review_step: 'Jogada {n} de {total}: {name} ({side})',
    review_final_step: 'Posição final, depois de {total} jogadas',
    review_final: 'Fim do jogo.',
    review_score: 'Avaliação para {side}: {score}',
    review_chart:
      'A avaliação do motor para {side} ao longo do jogo, um ponto por posição: o material de {side} menos o de {other} (Normal 10, Figura 15) entre −30 e +30, vitória forçada em cima, derrota forçada em baixo.',
    chart_win: 'vitória',
    chart_loss: 'derrota',
    score_win: 'vitória forçada',
    score_loss: 'derrota forçada',
    verdict_good: 'boa jogada',
    verdict_inaccuracy: 'imprecisão',
    verdict_mistake: 'erro',
    verdict_blunder: 'erro grave',
    line_pass: 'passa',
    line_good: '{move}',
    line_no_best: '{move} — qualquer outra jogada era melhor',
    line_blunder: '{move} — {best} ganhava',
    line_loses: '{move} — {best} não perdia',
    line_better: '{move} — {best} era melhor por {n}',
    mark_played: 'jogada feita',
    mark_best: 'melhor jogada do motor',
    record_download: 'Descarregar a partida (.txt)',
    record_note: 'Um registo de texto: {load} continua-o, {review} analisa-o.',
    record_failed: 'Não foi possível descarregar a partida.',
    passes: 'passa',
    you_won: 'Ganhaste!',
    you_lost: 'Perdeste.',
    side_won: '{name} ({side}) ganhou.',
    draw: 'Empate.',
    why_no_cards: '{side} ficou sem cartas.',
    why_no_moves: 'Nenhum lado pode jogar; conta o material: {a} contra {b}.',
    why_ply_limit: 'Chegou-se ao limite de {n} jogadas; conta o material: {a} contra {b}.',
    rematch: 'Desforra',
    rematch_asked: 'Pediste a desforra; à espera do adversário.',
    rematch_gone: 'O teu adversário deixou o lugar: não há desforra.',
    rematch_offer: '{name} pede a desforra.',
    rematch_watch: 'Assistir à desforra',
    join_heading: 'Há um lugar livre nesta sala',
    join_as: 'Entrar como {side}',
    share_heading: 'Convida um amigo',
    share_text: 'Envia esta ligação a quem vai jogar contigo:',
    share_link: 'Ligação da sala',
    copy: 'Copiar ligação',
    copied: 'Ligação copiada.',
    copy_failed: 'Não foi possível copiar; copia a ligação à mão.',
    banner_lost: 'Ligação perdida. A voltar a ligar em {s} s…',
    banner_connecting: 'A voltar a ligar…',
    fatal_no_such_room: 'Esta sala não existe ou já expirou.',
    seat_lost: 'O teu lugar nesta sala já não é válido; estás a assistir.',
    notice_engine_restarted: 'O motor teve uma falha e foi reiniciado; o jogo continua.',
    per_move: '{s} s por jogada',
    move_time_label: 'Tempo por jogada',
    move_time_none: 'Sem limite',
    clock_yours: 'O teu tempo: {s} s',
    clock_other: 'Tempo de {name}: {s} s',
    claim_text: 'O teu adversário saiu — reclamar a vitória',
    claim_button: 'Reclamar a vitória',
    claim_watch: '{name} saiu; {other} pode reclamar a vitória.',
    why_time: '{name} ({side}) ficou sem tempo.',
    why_abandoned: '{name} ({side}) abandonou o jogo.',
  },
  en: {
    language: 'Language',
    tagline: 'A card game for two on a 3 × 4 grid.',
    lobby: '← Lobby',
    your_name: 'Your name',
    default_name: 'Player',
    engine_heading: 'Play the engine',
    strength: 'Strength',
    level_easy: 'Easy (level 1)',
    level_medium: 'Medium (level 3)',
    level_hard: 'Hard (level 6)',
    level_other: 'Another level',
    level_number: 'Level (1 to {max_level})',
    first_heading: 'Who moves first',
    first_me: 'Me',
    first_engine: 'The engine',
    hide_marks: 'Hide the owners of face-down cards (play from memory)',
    let_watch: 'Let others watch',
    play: 'Play',
    friend_heading: 'Play a friend',
    friend_text: 'Creates a private room; send its link to whoever you like.',
    friend_public: 'List the room in the lobby (anyone can join)',
    create_room: 'Create room',
    waiting_heading: 'Rooms waiting for a player',
    waiting_none: 'No room is waiting.',
    playing_heading: 'Games in progress',
    playing_none: 'No game in progress.',
    refresh: 'Refresh',
    join: 'Join',
    join_room: "Join {name}'s room",
    watch: 'Watch',
    watch_game: 'Watch {a} against {b}',
    waits: '{name} is waiting for an opponent',
    versus: '{a} against {b}',
    plies: '{n} moves',
    ply_one: '1 move',
    engine_name: 'engine (level {level})',
    free_seat: 'free seat',
    lists_failed: 'Could not read the rooms.',
    err_network: 'No connection to the server.',
    err_bad_request: 'The server refused the request: one of its values is not valid.',
    err_missing_token: "Your seat's key for this room is missing.",
    err_bad_token: "Your seat's key is no longer valid in this room.",
    err_no_such_room: 'This room does not exist or has expired.',
    err_seat_taken: 'That seat has been taken.',
    err_room_full: 'The room is full.',
    err_game_over: "This room's game has ended.",
    err_owners_hidden: 'This room hides the owners of face-down cards: its record can be read once the game is over.',
    err_too_large: 'The request is too large.',
    err_too_many_rooms: 'You have too many open rooms; finish or leave one first.',
    err_server_full: 'The server is full; try again in a while.',
    err_engine_unavailable: 'The engine is restarting; try again.',
    err_shutting_down: 'The server is stopping; try again in a while.',
    err_illegal_move: 'Not a legal move.',
    err_not_your_turn: 'It is not your turn.',
    err_spectator: 'Spectators cannot move.',
    err_waiting: 'A player is missing.',
    err_bad_message: 'The server did not understand the message.',
    err_busy: 'The engine is restarting; try again.',
    err_bad_protocol: 'This page is from another version of the server; reload it.',
    err_rate_limited: 'Too many messages too fast; the connection was closed and will come back.',
    err_bad_origin: 'This request came from another site and was refused.',
    err_bad_content_type: 'The server refused the request: it was not sent as JSON.',
    err_store_failed: 'The server could not save and is stopping; try again in a while.',
    err_room_moved: 'The room has moved to another server; try again.',
    err_out_of_time: 'Your time for this move ran out.',
    err_opponent_connected: 'Your opponent is here: you cannot claim the win.',
    err_too_early: 'Your opponent may still come back; wait a little before claiming the win.',
    err_opponent_left: 'Your opponent gave up their seat: no rematch.',
    err_too_many_joins: "This room's seats have been taken too many times.",
    err_too_many_requests: 'Too many requests too fast; wait a moment and try again.',
    err_too_many_spectators: 'This room has as many spectators as it may; try again in a while.',
    err_too_many_sockets: 'You have too many connections open to this server; close some tabs.',
    err_other: 'Error: {message}',
    name_cut: 'A name has up to {name_limit} characters: yours was cut.',
    name_long: 'A name has up to {name_limit} characters.',
    name_empty: 'A name needs at least one visible letter or symbol.',
    name_chars: 'A name cannot hold control characters or marks that change the direction of text.',
    room: 'Room {id}',
    board: 'Board',
    cell_empty: '{slot}, empty',
    cell_up: '{slot}, {card}, face up',
    cell_down: '{slot}, {card}, face down',
    cell_back: '{slot}, face-down card',
    mine_N: 'your Normal card',
    mine_F: 'your Figure',
    theirs_N: "opponent's Normal card",
    theirs_F: "opponent's Figure",
    side_N: "{side}'s Normal card",
    side_F: "{side}'s Figure",
    kind_N: 'Normal',
    kind_F: 'Figure',
    selected: 'selected',
    target: 'target',
    last_move: 'last move',
    r_loading: 'Loading.',
    r_over: 'The game is over.',
    r_watching: 'You are watching.',
    r_waiting: 'Waiting for the second player.',
    r_not_turn: 'It is not your turn.',
    r_empty: 'Empty slot.',
    r_theirs_up: "You cannot play the opponent's face-up card.",
    r_no_targets: 'This Figure has no target.',
    r_not_target: 'Not a target of this Figure.',
    r_not_legal: 'Not a legal move.',
    h_play: 'play this Normal card',
    h_take: 'take this card off',
    h_select: 'select this Figure, then its target',
    h_target: 'turn this card over with the Figure on {from}',
    h_cancel: 'cancel the selection',
    hint: '{slot}: {text}',
    t_loading: 'Connecting…',
    t_yours: 'Your turn.',
    t_pick_target: 'Pick the target of the Figure on {slot} (Escape cancels).',
    t_other: '{name} ({side}) to move.',
    t_thinking: 'The engine is thinking… {s} s',
    t_waiting: 'Waiting for the second player.',
    t_over: 'Game over.',
    played: '{name} ({side}) played {move}.',
    passed: '{name} ({side}) passed.',
    move_label: 'Move',
    move_placeholder: 'e.g. B2 or B3A1',
    move_send: 'Play',
    refused_offline: 'Not connected; try again when the connection is back.',
    r_offline: 'Not connected: waiting to re-establish the game.',
    presence_unknown: 'checking',
    refused_empty: 'Type a move, for example B2 or B3A1.',
    you: 'you',
    cards: '{n} cards',
    card_one: '1 card',
    material: 'material {n}',
    face_up: '{n} face up',
    online: 'online',
    offline: 'offline',
    you_play: 'You play {side}.',
    you_watch: 'You are watching.',
    spectators: '{n} watching',
    moves_heading: 'Moves',
    moves_none: 'No move yet.',
    review_heading: "The engine's review",
    review_pending: 'The engine is reviewing the game…',
    review_failed: 'The engine could not review this game.',
    review_empty: 'There were no moves to review.',
    review_prev: 'Previous',
    review_next: 'Next',
    review_keys: 'The ← and → keys step through the game too.',
    review_step: 'Move {n} of {total}: {name} ({side})',
    review_final_step: 'Final position, after {total} moves',
    review_final: 'Game over.',
    review_score: 'Score for {side}: {score}',
    review_chart:
      "The engine's score for {side} over the game, a point per position: {side}'s material less {other}'s (Normal 10, Figure 15) from −30 to +30, a forced win at the top, a forced loss at the bottom.",
    chart_win: 'win',
    chart_loss: 'loss',
    score_win: 'forced win',
    score_loss: 'forced loss',
    verdict_good: 'good',
    verdict_inaccuracy: 'inaccuracy',
    verdict_mistake: 'mistake',
    verdict_blunder: 'blunder',
    line_pass: 'pass',
    line_good: '{move}',
    line_no_best: '{move} — every other move was better',
    line_blunder: '{move} — {best} was winning',
    line_loses: '{move} — {best} did not lose',
    line_better: '{move} — {best} was better by {n}',
    mark_played: 'move played',
    mark_best: "engine's best move",
    record_download: 'Download the game (.txt)',
    record_note: 'A text record: {load} continues it, {review} reviews it.',
    record_failed: 'Could not download the game.',
    passes: 'passes',
    you_won: 'You won!',
    you_lost: 'You lost.',
    side_won: '{name} ({side}) won.',
    draw: 'Draw.',
    why_no_cards: '{side} has no cards left.',
    why_no_moves: 'Neither side can move; material decides: {a} to {b}.',
    why_ply_limit: 'The {n}-move limit was reached; material decides: {a} to {b}.',
    rematch: 'Rematch',
    rematch_asked: 'You asked for a rematch; waiting for your opponent.',
    rematch_gone: 'Your opponent gave up their seat: no rematch.',
    rematch_offer: '{name} asks for a rematch.',
    rematch_watch: 'Watch the rematch',
    join_heading: 'This room has a free seat',
    join_as: 'Join as {side}',
    share_heading: 'Invite a friend',
    share_text: 'Send this link to the person you will play:',
    share_link: "Room's link",
    copy: 'Copy link',
    copied: 'Link copied.',
    copy_failed: 'Could not copy; copy the link by hand.',
    banner_lost: 'Connection lost. Reconnecting in {s} s…',
    banner_connecting: 'Reconnecting…',
    fatal_no_such_room: 'This room does not exist or has expired.',
    seat_lost: 'Your seat in this room is no longer valid; you are watching.',
    notice_engine_restarted: 'The engine failed and was restarted; the game goes on.',
    per_move: '{s} s per move',
    move_time_label: 'Time per move',
    move_time_none: 'No limit',
    clock_yours: 'Your time: {s} s',
    clock_other: "{name}'s time: {s} s",
    claim_text: 'Your opponent left — claim the win',
    claim_button: 'Claim the win',
    claim_watch: '{name} left; {other} can claim the win.',
    why_time: '{name} ({side}) ran out of time.',
    why_abandoned: '{name} ({side}) left the game.',
  },
};

// The engine's refusals are Portuguese by contract and are shown as they
// come; the English page puts these words beside them.
const GLOSSES = {
  'Formato inválido.': 'Badly formed move.',
  'Coordenada inválida.': 'Invalid coordinate.',
  'Origem inválida.': 'Invalid origin.',
  'Destino inválido.': 'Invalid destination.',
  'Não podes virar a própria Figura.': 'A Figure cannot target itself.',
  'A carta de origem não está virada para cima.': 'The origin card is not face up.',
  'A figura não te pertence.': 'That Figure is not yours.',
  'Apenas cartas Figura escolhem alvos.': 'Only Figure cards take a target.',
  'A carta alvo não existe.': 'There is no target card.',
  'Não há carta nessa posição.': 'There is no card on that slot.',
  'Não podes jogar uma carta virada para cima do adversário.': "You cannot play the opponent's face-up card.",
  'Precisas de um alvo para usar uma Figura (ex: A1A4).': 'A Figure needs a target (e.g. A1A4).',
};

const KEY = 'tesko.lang';
const listeners = new Set();

function stored() {
  try {
    return window.localStorage.getItem(KEY);
  } catch {
    return null;
  }
}

let current = WORDS[stored()] ? stored() : 'pt';

const languages = Object.keys(WORDS);

export function lang() {
  return current;
}

// The server's limits the words quote, filled in wherever they are named.
const QUOTED = { max_level: LIMITS.max_level, name_limit: LIMITS.name_limit };

export function t(key, params = {}) {
  const text = WORDS[current][key] ?? WORDS.pt[key] ?? key;
  const values = { ...QUOTED, ...params };
  return text.replace(/\{(\w+)\}/g, (whole, name) => (name in values ? String(values[name]) : whole));
}

// The words of `key` as a list of strings and nodes: a parameter may be a
// DOM node (a name in its <bdi>), put in place as it is.
export function tn(key, params = {}) {
  const text = WORDS[current][key] ?? WORDS.pt[key] ?? key;
  const values = { ...QUOTED, ...params };
  return text.split(/(\{\w+\})/).map((part) => {
    const name = /^\{(\w+)\}$/.exec(part);
    return name && name[1] in values ? values[name[1]] : part;
  });
}

// The English words for one of the engine's refusals, on the English page
// only; null otherwise.
export function gloss(text) {
  return current === 'en' ? (GLOSSES[text] ?? null) : null;
}

export function has(key) {
  return key in WORDS[current];
}

// A lobby error in words: the page's own when it knows the code, else the
// server's message.
export function errorText(error) {
  const key = 'err_' + error.code;
  if (has(key)) return t(key, { message: error.message });
  return t('err_other', { message: error.message || error.code });
}

function setLang(code) {
  if (!WORDS[code] || code === current) return;
  current = code;
  try {
    window.localStorage.setItem(KEY, code);
  } catch {
    /* remembered for this page only */
  }
  translatePage();
  for (const listener of listeners) listener(code);
}

export function onLangChange(listener) {
  listeners.add(listener);
}

// Fills the static words of the page: data-i18n (text), and
// data-i18n-placeholder / data-i18n-aria-label (attributes).
function translatePage(root = document) {
  document.documentElement.lang = current === 'pt' ? 'pt' : 'en';
  for (const node of root.querySelectorAll('[data-i18n]')) node.textContent = t(node.dataset.i18n);
  for (const node of root.querySelectorAll('[data-i18n-placeholder]')) {
    node.placeholder = t(node.dataset.i18nPlaceholder);
  }
  for (const node of root.querySelectorAll('[data-i18n-aria-label]')) {
    node.setAttribute('aria-label', t(node.dataset.i18nAriaLabel));
  }
  for (const button of root.querySelectorAll('[data-lang]')) {
    button.setAttribute('aria-pressed', String(button.dataset.lang === current));
  }
}

// The language buttons of the header.
export function bindLanguageButtons(root = document) {
  for (const button of root.querySelectorAll('[data-lang]')) {
    button.addEventListener('click', () => setLang(button.dataset.lang));
  }
  translatePage(root);
}
